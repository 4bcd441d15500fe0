#!/usr/bin/env bash
# Cross-builds the Windows backends with MinGW-w64 and runs their test under
# Wine in a throw-away prefix, once per ANSI code page that the checks know.
# Passes with a message, without testing, only when the tools are missing.
#   run.sh [source dir] [build dir]
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "${1:-$here/../..}" && pwd)
build=${2:-$src/build-win}

missing=()
for tool in x86_64-w64-mingw32-g++ x86_64-w64-mingw32-windres cmake wineserver timeout; do
    command -v "$tool" > /dev/null || missing+=("$tool")
done
wine=$(command -v wine64 || command -v wine || true)
[ -n "$wine" ] || missing+=("wine")
command -v localedef > /dev/null && [ -f /usr/share/i18n/locales/zh_CN ] || missing+=("locales")
if [ ${#missing[@]} -gt 0 ]; then
    echo "win_backend: SKIPPED, not tested: ${missing[*]} not found (scripts/deps.sh installs mingw-w64, wine and locales)"
    exit 0
fi

mkdir -p "$build"
cmake -S "$here/cross" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$here/mingw-w64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DUPDATE_SOURCE_DIR="$src" > "$build/configure.log" 2>&1 \
    || { cat "$build/configure.log"; exit 1; }
cmake --build "$build" -j2

# Wine takes the ANSI code page from the locale's name and converts file names
# with its character set, so both locales must exist: made privately, once.
locales=$build/locale
mkdir -p "$locales"
for locale in en_US zh_CN; do
    [ -d "$locales/$locale.UTF-8" ] || localedef -c -i "$locale" -f UTF-8 "$locales/$locale.UTF-8" || true
    [ -f "$locales/$locale.UTF-8/LC_CTYPE" ] || { echo "win_backend: localedef could not make $locale.UTF-8"; exit 1; }
done
export LOCPATH=$locales

# Headless and quiet: no display, no debug channels, no Mono/Gecko install prompts.
unset DISPLAY WAYLAND_DISPLAY
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/update-wine.XXXXXX")
export WINEPREFIX
cleanup() {
    timeout 30 wineserver -k > /dev/null 2>&1 || true
    rm -rf "$WINEPREFIX"
}
trap cleanup EXIT

started=$(date +%s)
timeout 120 "$wine" wineboot -i > "$build/wineboot.log" 2>&1 || { cat "$build/wineboot.log"; exit 1; }
echo "win_backend: Wine prefix ready in $(( $(date +%s) - started )) s"

status=0
# ANSI code page 1252 for English, 936 for Chinese.
for locale in en_US.UTF-8 zh_CN.UTF-8; do
    echo "win_backend: run with LC_ALL=$locale"
    LC_ALL=$locale timeout 120 "$wine" "$build/win_backend_test.exe" 2> "$build/wine-stderr.log" || status=1
done
exit $status
