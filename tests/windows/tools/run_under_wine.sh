#!/usr/bin/env bash
# galaxy-render.exe and galaxy-viewer.exe under Wine, run inside the root of
# scripts/wine-env.sh from the top of the source tree:
#   run_under_wine.sh OUTDIR
# Checks exit statuses, files left behind and the viewer's window here;
# the pictures written into OUTDIR are compared with the Linux programs' by
# check_tools.py afterwards.
set -u
out=$1
bin=build-win
failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }
# A program that hangs (a pipe never closed, a window never answering) fails
# its check instead of the stage.
wine_run() { timeout 300 wine "$@" 2>&1 | tr -d '\r'; return "${PIPESTATUS[0]}"; }
expect() {
  local want=$1 got; shift
  wine_run "$@"; got=$?
  [ "$got" = "$want" ] || fail "exit status $got, expected $want: $*"
}
# Z: is Wine's view of /; the fake ffmpeg's folder as Windows names it.
fake_ffmpeg="Z:$(pwd | tr / '\\')\\$bin\\fake-ffmpeg"

rm -rf "$out" && mkdir -p "$out/set" "$out/seq" "$out/taken.png" "$out/viewer"

# ---- galaxy-render.exe
expect 0 $bin/galaxy-render.exe -s 320x180 -d "$out/set"
expect 0 $bin/galaxy-render.exe -m galaxy -s 160x90 -t 20 -n 3 -k 2 -d "$out/seq"
# An existing file is replaced (the C runtime's rename would refuse).
echo stale >"$out/still.png"
expect 0 $bin/galaxy-render.exe -m blackhole -s 64x36 -o "$out/still.png"
# A device is written in place, never replaced; a directory is refused.
expect 0 $bin/galaxy-render.exe -s 64x36 -o NUL
[ ! -e NUL ] || fail "-o NUL made a file named NUL"
expect 2 $bin/galaxy-render.exe -s 64x36 -o "$out/taken.png"
expect 2 $bin/galaxy-render.exe -s 0x0 -o "$out/bad.png"
expect 2 $bin/galaxy-render.exe -s 64x36 -o "$out/no-such-dir/x.png"
# --video: refused without an ffmpeg.exe, piped into the one on PATH, and
# nothing left behind when it fails.
expect 1 $bin/galaxy-render.exe -m galaxy -s 160x90 -n 3 --video "$out/none.mp4"
WINEPATH=$fake_ffmpeg expect 0 $bin/galaxy-render.exe -m galaxy -s 160x90 -t 20 -n 3 -k 2 \
  --video "$out/seq.mp4"
FAKE_FFMPEG_EXIT=3 WINEPATH=$fake_ffmpeg expect 1 $bin/galaxy-render.exe -m galaxy -s 160x90 -n 2 \
  --video "$out/failed.mp4"
for f in none.mp4 failed.mp4 bad.png; do
  [ ! -e "$out/$f" ] || fail "$f was left behind"
done
leftovers=$(find "$out" -name '*.tmp*')
[ -z "$leftovers" ] || fail "temporary files left: $leftovers"

# ---- galaxy-viewer.exe: keys typed into its window through the X server.
(cd "$out/viewer" && wine ../../../../$bin/galaxy-viewer.exe -s 320x180 >log.txt 2>&1) &
viewer=$!
win=$(timeout 60 xdotool search --sync --name '^halvenor-galaxy' | head -n1)
if [ -z "$win" ]; then
  fail "the viewer's window did not appear"
else
  # Without a window manager the keyboard focus is given by hand.
  xdotool windowfocus --sync "$win"
  title_has() {
    for _ in $(seq 600); do
      case "$(xdotool getwindowname "$win" 2>/dev/null)" in *"$1"*) return 0 ;; esac
      sleep 0.1
    done
    fail "the title never showed '$1' (last: $(xdotool getwindowname "$win" 2>/dev/null))"
    return 1
  }
  wait_file() {
    for _ in $(seq 600); do [ -s "$1" ] && return 0; sleep 0.1; done
    fail "$1 was not written"
  }
  title_has "solar system"
  xdotool key 3
  title_has "black hole"
  xdotool key s
  wait_file "$out/viewer/galaxy_0001.png"
  # A new size reaches the renderer: the next screenshot has it. (Resized
  # from the Windows side: Wine undoes an X-side resize without a window
  # manager.)
  wine_run $bin/tests/windows/resize_window.exe halvenor-galaxy 400 240 || fail "resize_window failed"
  xdotool windowfocus --sync "$win"
  sleep 2
  xdotool key s
  wait_file "$out/viewer/galaxy_0002.png"
  xdotool key Escape
fi
for _ in $(seq 300); do kill -0 $viewer 2>/dev/null || break; sleep 0.1; done
if kill -0 $viewer 2>/dev/null; then
  fail "the viewer did not quit on Esc"
  kill $viewer
fi
wait $viewer || fail "the viewer's exit status was $?"
tr -d '\r' <"$out/viewer/log.txt"

[ $failures -eq 0 ] || { echo "$failures failure(s) of the Windows programs"; exit 1; }
echo "the Windows programs did what they should"
