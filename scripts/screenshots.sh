#!/bin/bash
# Screenshots for the README: the main window after a board arrived and a file was sent, the
# same window while a larger file moves (its progress bar), the About box, the wizard's
# waiting window and the station window. Runs the real program under a virtual X server
# against virtual boards.
#
#   scripts/screenshots.sh [BUILD_DIR]      (default: build; PNGs go to docs/screenshots/)
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "${1:-$ROOT/build}" && pwd)
OUT=$ROOT/docs/screenshots
IMAGE=$ROOT/examples/blinky.bin

need=()
for tool in xvfb-run:xvfb xauth:xauth xdotool:xdotool xwd:x11-apps; do
  command -v "${tool%%:*}" >/dev/null || need+=("${tool##*:}")
done
# ImageMagick's own convert (another program of that name may come first on the PATH).
find_convert() {
  local candidate
  for candidate in /usr/bin/convert /usr/bin/convert-im6.q16 /usr/bin/magick; do
    [ -x "$candidate" ] && "$candidate" -version 2>/dev/null | grep -q ImageMagick &&
      { echo "$candidate"; return 0; }
  done
  return 1
}
find_convert >/dev/null || need+=(imagemagick)
if ((${#need[@]})); then
  echo "installing ${need[*]}"
  SUDO=; [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get install -y --no-install-recommends "${need[@]}"
fi
for program in quillon quillon-board; do
  [ -x "$BUILD/$program" ] || { echo "no $BUILD/$program: build first" >&2; exit 1; }
done

if [ -z "${QUILLON_SHOTS_INNER:-}" ]; then
  mkdir -p "$OUT"
  export QUILLON_SHOTS_INNER=1
  exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$BUILD"
fi

# From here on: inside the virtual X server.
CONVERT=$(find_convert)
WORK=$(mktemp -d)
export QUILLON_BOARD_DIR=$WORK/boards
export XDG_RUNTIME_DIR=$WORK/runtime
mkdir -p "$XDG_RUNTIME_DIR"
chmod 0700 "$XDG_RUNTIME_DIR"
PIDS=()
MADE=
cleanup() {
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$WORK"
  [ -z "$MADE" ] || rm -rf "$MADE"
}
trap cleanup EXIT

# The pictures show the image in a neutral folder, not where this checkout happens to be:
# /home/user/firmware when that can be made afresh (and is removed again), otherwise the
# relative path firmware/blinky.bin from a scratch directory.
SHOWN_IMAGE=firmware/blinky.bin
if [ ! -e /home/user ] && mkdir -p /home/user/firmware 2>/dev/null; then
  MADE=/home/user
  SHOWN_IMAGE=/home/user/firmware/blinky.bin
elif [ -d /home/user ] && [ ! -e /home/user/firmware ] && mkdir /home/user/firmware 2>/dev/null; then
  MADE=/home/user/firmware
  SHOWN_IMAGE=/home/user/firmware/blinky.bin
fi
mkdir -p "$WORK/firmware"
cp "$IMAGE" "$WORK/firmware/blinky.bin"
[ -z "$MADE" ] || cp "$IMAGE" /home/user/firmware/blinky.bin
cd "$WORK"

shoot() { # window id, file name
  sleep 1
  xwd -id "$1" -silent | "$CONVERT" xwd:- "$OUT/$2"
  echo "saved $OUT/$2"
}
window_of() { # title pattern, pid
  xdotool search --all --sync --onlyvisible --pid "$2" --name "$1" | head -n 1
}
keys() { # window id, keys... (one at a time: a menu must be open before its mnemonic)
  local wid=$1 key; shift
  xdotool windowactivate --sync "$wid" 2>/dev/null || xdotool windowfocus --sync "$wid"
  for key in "$@"; do
    xdotool key --clearmodifiers "$key"
    sleep 0.5
  done
}

# The main window first, then a board arrives: the status bar follows the device change.
"$BUILD/quillon" &
PIDS+=($!)
MAIN=$(window_of '^Quillon$' "${PIDS[0]}")
# The board takes 400 kB/s, so that a larger send lasts long enough to be seen.
"$BUILD/quillon-board" --log "$WORK/wire.log" --rate 400000 \
  --board plinth0="Plinth board (virtual)" >"$WORK/board.log" &
PIDS+=($!)
for _ in $(seq 50); do grep -q attached "$WORK/board.log" && break; sleep 0.1; done
sleep 1

# Type the image's path into the file-name box (it has the focus) and send it: File, Send.
xdotool windowfocus --sync "$MAIN"
xdotool type --delay 5 "$SHOWN_IMAGE"
keys "$MAIN" alt+f s
sleep 1
shoot "$MAIN" main-window.png

# A 2 MiB image takes about five seconds: the progress bar in the status bar, halfway.
head -c 2097152 /dev/urandom >"$WORK/firmware/large.bin"
[ -z "$MADE" ] || cp "$WORK/firmware/large.bin" /home/user/firmware/large.bin
xdotool windowfocus --sync "$MAIN"
xdotool key --clearmodifiers ctrl+a
xdotool type --delay 5 "${SHOWN_IMAGE%/*}/large.bin"
keys "$MAIN" alt+f s
sleep 1.5
shoot "$MAIN" progress.png
sleep 5

# Help, About.
keys "$MAIN" alt+h a
sleep 1
ABOUT=$(window_of '^About' "${PIDS[0]}")
shoot "$ABOUT" about.png
keys "$ABOUT" Escape
sleep 0.5
keys "$MAIN" Escape # closing tells the board to execute
for _ in $(seq 50); do kill -0 "${PIDS[0]}" 2>/dev/null || break; sleep 0.1; done
grep -q "^plinth0 rx 78" "$WORK/wire.log" && echo "closing sent the execute command"

# The wizard waits for a board that does not come: its window shows after ten empty polls.
kill "${PIDS[1]}"; wait "${PIDS[1]}" 2>/dev/null || true
"$BUILD/quillon" "$SHOWN_IMAGE" >/dev/null &
PIDS+=($!)
sleep 2
WIZARD=$(window_of '.' "${PIDS[2]}")
shoot "$WIZARD" wizard.png
kill "${PIDS[2]}" 2>/dev/null || true

# The station window: three boards flashed, one failed, one being flashed (a slow board), one
# held by another process, and one that just left.
"$BUILD/quillon-board" --board plinth0="Plinth board (virtual)" \
  --board plinth1="Plinth board (virtual)" --board plinth2="Plinth board (virtual)" \
  --board plinth3="Plinth board (virtual)" --wrong-reply s3 \
  --board plinth4="Plinth board (virtual)" --rate 4 \
  --board plinth5="Plinth board (virtual)" >"$WORK/station-boards.log" &
PIDS+=($!)
"$BUILD/quillon-board" --board plinth6="Plinth board (virtual)" >"$WORK/leaving.log" &
LEAVING=$!
PIDS+=("$LEAVING")
for _ in $(seq 50); do
  [ "$(grep -c attached "$WORK/station-boards.log")" -eq 6 ] && grep -q attached "$WORK/leaving.log" &&
    break
  sleep 0.1
done
flock "$QUILLON_BOARD_DIR/plinth5" sleep 30 &
PIDS+=($!)
sleep 0.5
"$BUILD/quillon" --station "$SHOWN_IMAGE" --journal "$WORK/station.db" --timeout 10000 \
  >/dev/null 2>&1 &
STATION_PID=$!
PIDS+=("$STATION_PID")
STATION=$(window_of '^Quillon Station' "$STATION_PID")
sleep 2
kill "$LEAVING"
sleep 0.5
shoot "$STATION" station.png
keys "$STATION" Escape Escape
for _ in $(seq 50); do kill -0 "$STATION_PID" 2>/dev/null || break; sleep 0.1; done
