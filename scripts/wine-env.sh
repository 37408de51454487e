# Sourced by the Wine scripts: the environment every Wine run of this project needs (see README "Tests under Wine").
# Usage: . scripts/wine-env.sh BUILD_DIR [ARCH]
# ARCH is i686 (32-bit Wine, a win32 prefix) or x86_64 (64-bit Wine, a win64 prefix); without it, the one the
# build tree was configured for (its wine-arch file), else i686. Each architecture has its own prefix.
UPD_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
UPD_BUILD=$(cd "${1:-$UPD_ROOT/build/windows}" 2>/dev/null && pwd || echo "${1:-$UPD_ROOT/build/windows}")
UPD_WINE_ARCH=${2:-${UPD_WINE_ARCH:-}}
if [ -z "$UPD_WINE_ARCH" ] && [ -f "$UPD_BUILD/wine-arch" ]; then
  UPD_WINE_ARCH=$(cat "$UPD_BUILD/wine-arch")
fi
UPD_WINE_ARCH=${UPD_WINE_ARCH:-i686}
case "$UPD_WINE_ARCH" in
  i686) export WINEARCH=win32 WINELOADER=/usr/lib/wine/wine ;;
  x86_64) export WINEARCH=win64 WINELOADER=/usr/lib/wine/wine64 ;;
  *) echo "wine-env: unknown architecture '$UPD_WINE_ARCH' (i686 or x86_64)" >&2; return 2 2>/dev/null || exit 2 ;;
esac
export UPD_WINE_ARCH
# The `wine` wrapper prefers the 32-bit loader whenever it is installed: every run names its loader.
UPD_WINE=$WINELOADER
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
export WINEPREFIX="$UPD_BUILD/wineprefix-$UPD_WINE_ARCH"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
export UPD_MEDIA_UNIX="$UPD_BUILD/media"
# The same folder as the programs under Wine see it.
export UPD_MEDIA_DIR="Z:${UPD_MEDIA_UNIX//\//\\}"
unset DISPLAY
