# Sourced by the Wine scripts: the environment every Wine run of this project needs (see README "Tests under Wine").
# Usage: . scripts/wine-env.sh BUILD_DIR
UPD_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
UPD_BUILD=$(cd "${1:-$UPD_ROOT/build/windows}" 2>/dev/null && pwd || echo "${1:-$UPD_ROOT/build/windows}")
export LOCPATH="$UPD_BUILD/locale"
# Wine takes its ANSI code page and its Unix file-name charset from the locale of each process it starts:
# ja_JP.UTF-8 gives code page 932 (the default); UPD_LOCALE=en_US.UTF-8 gives 1252, a system the player may have.
# Both share one prefix: the code page follows the process, not the registry.
UPD_LOCALE=${UPD_LOCALE:-ja_JP.UTF-8}
for locale in ja_JP.UTF-8 "$UPD_LOCALE"; do
  if [ ! -f "$LOCPATH/$locale/LC_CTYPE" ]; then
    mkdir -p "$LOCPATH"
    localedef -i "${locale%%.*}" -f UTF-8 "$LOCPATH/$locale" >/dev/null 2>&1 || true
  fi
done
{ export LC_ALL=$UPD_LOCALE; } 2>/dev/null  # bash itself cannot see LOCPATH; the programs can
export WINEPREFIX="$UPD_BUILD/wineprefix"
export WINEARCH=win32
export WINEDEBUG=-all
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
export UPD_MEDIA_UNIX="$UPD_BUILD/media"
# The same folder as the programs under Wine see it.
export UPD_MEDIA_DIR="Z:${UPD_MEDIA_UNIX//\//\\}"
unset DISPLAY
