#!/usr/bin/env bash
# Checks the Windows packages under Wine, in a Wine prefix of its own and a virtual display:
# - the zip's program starts and shows its first dialog: from a working folder lacking
#   zlib1.dll, "libcurl error"; from its own folder without a converter, "ffmpeg error";
# - the installer installs silently (files, shortcuts, uninstall key), and its uninstaller
#   removes silently everything the installer added.
# Usage: packaging/windows/check-wine.sh [BUILD-DIR]   (default: the checkout's build-windows)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
out=$(cd "${1:-$root/build-windows}" && pwd)
. "$root/scripts/lib.sh"
install_missing wine wine64 xvfb xauth xdotool unzip binutils

if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a "$0" "$out"
fi

zip_file=$(ls "$out"/tovimo-*-win64.zip)
setup=$(ls "$out"/tovimo-*-win64-setup.exe)
name=$(basename "$zip_file" -win64.zip)

# Debian's wine starts 64-bit programs with wine64; some set-ups only have the one or the other.
wine=$(command -v wine64 || command -v wine)

tmp=$(mktemp -d "${TMPDIR:-/tmp}/tovimo-wine-check.XXXXXX")
export WINEPREFIX=$tmp/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
  wineserver -k 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }
pass() { echo "ok: $*"; }

timeout 300 wineboot --init >/dev/null 2>&1
unzip -q "$zip_file" -d "$tmp/unzipped"
program=$tmp/unzipped/$name/tovimo.exe

# Starts the program in a working folder and waits for a window of the given title.
expect_dialog() {
  local cwd=$1 title=$2 i
  (cd "$cwd" && exec "$wine" "$program" >>"$tmp/program.log" 2>&1) &
  for i in $(seq 60); do
    if xdotool search --name "^$title\$" >/dev/null 2>&1; then
      pass "\"$title\" shown (working folder $(basename "$cwd"))"
      wineserver -k 2>/dev/null || true
      wait 2>/dev/null || true
      return 0
    fi
    sleep 1
  done
  fail "no \"$title\" dialog within 60 s (working folder $(basename "$cwd"))"
  tail -n 20 "$tmp/program.log"
  wineserver -k 2>/dev/null || true
  wait 2>/dev/null || true
}

mkdir "$tmp/without-zlib"
cp "$tmp/unzipped/$name"/{ui.glade,exit.png,libcurl.dll} "$tmp/without-zlib/"
expect_dialog "$tmp/without-zlib" "libcurl error"
if [ ! -e "$tmp/unzipped/$name/ffmpeg.exe" ]; then
  expect_dialog "$tmp/unzipped/$name" "ffmpeg error"
fi

# The installer, silently, and its uninstaller.
snapshot() {
  (cd "$WINEPREFIX/drive_c" && find . | grep -v -i -e '/temp/' -e '/temp$' | LC_ALL=C sort)
  "$wine" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null |
    tr -d '\r' | grep -i tovimo || true
}
snapshot >"$tmp/before"
"$wine" "$setup" /S
wineserver -w
installed="$WINEPREFIX/drive_c/Program Files/Tovimo"
programs="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs"
[ -f "$installed/tovimo.exe" ] && pass "installed tovimo.exe" || fail "tovimo.exe not installed"
diff <(cd "$tmp/unzipped/$name" && find . -type f | LC_ALL=C sort) \
  <(cd "$installed" && find . -type f ! -name uninstall.exe | LC_ALL=C sort) >/dev/null &&
  pass "installed files match the zip's" || fail "installed files differ from the zip's"
[ -f "$programs/Tovimo.lnk" ] && pass "Start-menu shortcut" || fail "no Start-menu shortcut"
# The program reads its files from its working folder: the shortcut must start it there.
strings -e l "$programs/Tovimo.lnk" | tr -d '\r' | grep -qix 'C:\\Program Files\\Tovimo' &&
  pass "the shortcut starts it in the install folder" ||
  fail "the shortcut's working folder is not the install folder"
[ -n "$(find "$programs" -ipath '*/startup/tovimo.lnk')" ] && pass "start-at-login shortcut" ||
  fail "no start-at-login shortcut"
"$wine" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Tovimo' \
  /v UninstallString >/dev/null 2>&1 && pass "uninstall key" || fail "no uninstall key"

"$wine" "$installed/uninstall.exe" /S
wineserver -w
sleep 2
wineserver -w
snapshot >"$tmp/after"
if diff "$tmp/before" "$tmp/after"; then
  pass "uninstalling left nothing behind"
else
  fail "uninstalling left the differences above"
fi

[ $failed -eq 0 ] && echo "All Windows package checks passed." || exit 1
