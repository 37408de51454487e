# Sourced by the Wine scripts: the environment every Wine run of this project needs (see README "Tests under Wine").
# Usage: . scripts/wine-env.sh BUILD_DIR
UPD_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
UPD_BUILD=$(cd "${1:-$UPD_ROOT/build/windows}" 2>/dev/null && pwd || echo "${1:-$UPD_ROOT/build/windows}")
export LOCPATH="$UPD_BUILD/locale"
# Wine takes its ANSI code page (932) and its Unix file-name charset from this locale.
if [ ! -f "$LOCPATH/ja_JP.UTF-8/LC_CTYPE" ]; then
  mkdir -p "$LOCPATH"
  localedef -i ja_JP -f UTF-8 "$LOCPATH/ja_JP.UTF-8" >/dev/null 2>&1 || true
fi
{ export LC_ALL=ja_JP.UTF-8; } 2>/dev/null  # bash itself cannot see LOCPATH; the programs can
export WINEPREFIX="$UPD_BUILD/wineprefix"
export WINEARCH=win32
export WINEDEBUG=-all
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
export UPD_MEDIA_UNIX="$UPD_BUILD/media"
# The same folder as the programs under Wine see it.
export UPD_MEDIA_DIR="Z:${UPD_MEDIA_UNIX//\//\\}"
unset DISPLAY
