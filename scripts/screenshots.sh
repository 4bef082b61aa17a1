#!/usr/bin/env bash
# Runs the real program under Xvfb with a window manager and saves a PNG of every window,
# once as drawn and once at scale 2 (QT_SCALE_FACTOR=2) into OUTDIR/scale-2.
#   scripts/screenshots.sh [OUTDIR]      (default ./screenshots; BUILD=build by default)
#   SCALES=2 scripts/screenshots.sh      (only the scale-2 run)
#   THEME=dark scripts/screenshots.sh    the same under a dark desktop palette
#   scripts/screenshots.sh --readme      (docs/screenshot.png: the main window on the real drive)
# As root, with mkfs.ext4, the program runs from a small loop-mounted ext4 image, so its own
# drive (the one the first scan covers) is small and known; otherwise it scans the real drive
# of the build folder, which takes longer.
# Each shot is a function; add one for a new window and list it in `shoot_all`.
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
README_SHOT=""
if [ "${1:-}" = "--readme" ]; then
  README_SHOT="$ROOT/docs/screenshot.png"
  set -- "$ROOT/docs"
fi
OUT="$(mkdir -p "${1:-screenshots}" && cd "${1:-screenshots}" && pwd)"
BUILD="${BUILD:-$ROOT/build}"
PROGRAM="$BUILD/kvor"
SCALES="${SCALES:-1 2}"
THEME="${THEME:-light}"

[ -x "$PROGRAM" ] || { echo "screenshots: build $PROGRAM first (make build)" >&2; exit 1; }
for tool in Xvfb openbox xdotool import convert; do
  command -v "$tool" >/dev/null || { echo "screenshots: $tool is missing (make deps)" >&2; exit 1; }
done

WORK="$(mktemp -d /tmp/kvor-shots-XXXXXX)"
PIDS=()
MOUNTED=""
RUN="$PROGRAM"   # the copy that runs

cleanup() {
  local pid
  for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do
    pid="${PIDS[$i]}"
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  [ -n "$MOUNTED" ] && umount "$MOUNTED" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT
# A signal ends the script through the EXIT trap, so the display and the drive go too.
trap "exit 1" INT TERM HUP PIPE

free_display() {
  local n
  for n in $(seq 91 120); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] || { echo ":$n"; return; }
  done
  echo "screenshots: no free X display" >&2
  exit 1
}

# A small drive with a few ordinary and hidden directories, and enough of them that the
# progress dialog stays up long enough to be seen.
make_drive() {
  [ "$(id -u)" -eq 0 ] && command -v mkfs.ext4 >/dev/null || return 0
  local image="$WORK/drive.img" mnt="$WORK/drive"
  mkdir -p "$mnt"
  truncate -s 256M "$image"
  mkfs.ext4 -q -F -L KVORDEMO -N 60000 "$image"
  mount -o loop "$image" "$mnt" 2>/dev/null || return 0
  MOUNTED="$mnt"
  mkdir -p "$mnt/bin" "$mnt/Documents/Letters" "$mnt/Documents/Reports/2023" "$mnt/Music" \
           "$mnt/.config/kvor" "$mnt/Projects"
  head -c 1200000 /dev/urandom >"$mnt/Music/song.ogg"
  head -c 54321 /dev/urandom >"$mnt/Documents/Reports/2023/summary.pdf"
  echo "Dear reader," >"$mnt/Documents/Letters/letter.txt"
  echo "x" >"$mnt/.config/kvor/state"
  (cd "$mnt/Projects" && for i in $(seq -w 1 1500); do mkdir -p "p$i"/{src,doc,test,build,lib,res,tmp,old,new,misc}/{a,b}; done)
  cp "$PROGRAM" "$mnt/bin/kvor"
  RUN="$mnt/bin/kvor"
}

SHOTS="$OUT"   # where the current run's shots go
SCALE=1

shot() {  # shot NAME: the whole screen, trimmed to what is on it
  sleep 0.4
  import -window root "$WORK/raw.png"
  convert "$WORK/raw.png" -trim +repage -bordercolor black -border 8 "$SHOTS/$1.png"
  echo "  $SHOTS/$1.png"
}

main_window() { xdotool search --onlyvisible --name '^Korvane 1\.5$' | head -n 1; }

focus_main() {
  xdotool windowactivate --sync "$(main_window)" >/dev/null 2>&1 || true
  sleep 0.2
}

shot_progress() {
  # Until the progress dialog shows, or the scan has already ended and the main window shows.
  local _
  for _ in $(seq 200); do
    if xdotool search --onlyvisible --name 'Please Wait' >/dev/null 2>&1; then
      shot progress
      return
    fi
    main_window | grep -q . && { echo "  (the scan ended before the progress dialog could be taken)"; return; }
    sleep 0.05
  done
}

# Until the main window shows; a window that goes while xdotool looks at it (the progress
# dialog) fails that one search, so it is asked again.
wait_main() {
  local _
  for _ in $(seq 300); do
    xdotool search --onlyvisible --name '^Korvane 1\.5$' 2>/dev/null | grep -q . && return
    sleep 0.1
  done
}

shot_main() {
  wait_main
  focus_main
  shot main
}

shot_display_menu() {
  focus_main
  xdotool key alt+d
  shot display-menu
  xdotool key Escape Escape
}

shot_panel_hidden() {
  focus_main
  xdotool key alt+d i
  shot panel-hidden
  xdotool key alt+d i
}

shot_resized() {
  local w
  w="$(main_window)"
  xdotool windowsize --sync "$w" $((640 * SCALE)) $((520 * SCALE)) 2>/dev/null ||
    xdotool windowsize "$w" $((640 * SCALE)) $((520 * SCALE))
  focus_main
  # Open the first directory so the tree shows its pictures at two levels.
  xdotool key Down Right
  shot main-resized
}

shot_exit_confirmation() {
  focus_main
  xdotool key alt+x
  shot exit-confirmation
  xdotool key Escape   # No
}

wait_for() {  # wait_for TITLE-REGEX: until a window of that title shows (at most 10 s)
  timeout 10 xdotool search --sync --onlyvisible --name "$1" >/dev/null 2>&1 || true
}

shot_drive_dialog() {
  focus_main
  xdotool key Tab space   # from the tree to "Select Disk"
  wait_for '^KVOR 1\.5$'
  shot drive-dialog
  # The second drive is normally a RAM disk or another drive that is not a local hard
  # drive: refused with a message, and the selection goes back.
  xdotool key Home Down
  sleep 0.5
  shot drive-refused
  xdotool key Return      # OK in the message box
  sleep 0.3
  xdotool key Tab Tab space   # the list has the focus: Tab, Tab reaches Cancel
  sleep 0.3
}

shot_analysis() {
  focus_main
  xdotool key alt+n
  wait_for '^Analysis of findings$'
  shot analysis
  xdotool key space       # OK, the only button, has the focus
  sleep 0.3
  # A sparse file: its size counts in full, its blocks hardly, so the report explains the
  # difference. Refresh first, so the report covers it.
  [ -n "$MOUNTED" ] || return 0
  truncate -s 64M "$MOUNTED/Music/sparse.img"
  focus_main
  xdotool key alt+r
  sleep 1
  wait_for '^Korvane 1\.5$'
  focus_main
  xdotool key alt+n
  wait_for '^Analysis of findings$'
  shot analysis-explained
  xdotool key space
  sleep 0.3
}

shot_about() {
  focus_main
  xdotool key alt+a
  wait_for '^About KVOR 1\.5$'
  shot about
  xdotool key space       # Close
  sleep 0.3
}

shot_cancelled() {
  local wait
  focus_main
  xdotool key alt+r       # Refresh, then Cancel as soon as the progress dialog shows
  wait="$(timeout 10 xdotool search --sync --onlyvisible --name 'Please Wait' 2>/dev/null | head -n 1)"
  [ -n "$wait" ] || return 0
  xdotool windowactivate "$wait" >/dev/null 2>&1 || true
  xdotool key space       # Cancel, the only button, has the focus
  sleep 0.5
  wait_for '^Korvane 1\.5$'
  focus_main
  shot cancelled
}

quit_program() {
  focus_main
  xdotool key alt+x
  sleep 0.5
  xdotool key Return   # Yes, the default
}

# The main window on the real drive, a little larger and opened a few levels deep, kept small
# enough for the README: a 64-colour PNG without metadata.
shot_readme() {
  local w
  wait_main
  w="$(main_window)"
  xdotool windowsize --sync "$w" 520 440 2>/dev/null || xdotool windowsize "$w" 520 440
  focus_main
  # The root's folders, then /usr opened and selected, with all its folders in view.
  xdotool key Right
  xdotool type --delay 50 usr
  sleep 0.5
  xdotool key Right
  xdotool key --delay 30 Down Down Down Down Down Down Down Down Down Down Down Down Down Down
  xdotool type --delay 50 usr
  shot main-readme
  convert "$SHOTS/main-readme.png" -strip -colors 64 "PNG8:$README_SHOT"
  rm -f "$SHOTS/main-readme.png"
  echo "  $README_SHOT ($(du -k "$README_SHOT" | cut -f1) KB)"
}

shoot_all() {
  shot_progress
  shot_main
  shot_display_menu
  shot_panel_hidden
  shot_exit_confirmation
  shot_resized
  shot_drive_dialog
  shot_analysis
  shot_about
  shot_cancelled
}

# A dark palette as a desktop would give it, through the toolkit's own reading of a KDE
# colour scheme; only the program's environment changes.
dark_theme() {
  mkdir -p "$WORK/config"
  cat >"$WORK/config/kdeglobals" <<'EOT'
[Colors:Button]
BackgroundNormal=49,54,59
ForegroundNormal=239,240,241
[Colors:Window]
BackgroundNormal=42,46,50
ForegroundNormal=239,240,241
[Colors:View]
BackgroundNormal=27,30,32
ForegroundNormal=239,240,241
BackgroundAlternate=35,38,41
[Colors:Selection]
BackgroundNormal=61,174,233
ForegroundNormal=252,252,252
[Colors:Tooltip]
BackgroundNormal=49,54,59
ForegroundNormal=239,240,241
EOT
  export QT_QPA_PLATFORMTHEME=kde KDE_FULL_SESSION=true KDE_SESSION_VERSION=5 XDG_CONFIG_HOME="$WORK/config"
}

# run SCALE SHOT-FUNCTION: the program on its own display at that scale, shot, then ended.
run() {
  local display kvor first=${#PIDS[@]} i
  SCALE="$1"
  display="$(free_display)"
  Xvfb "$display" -screen 0 "$((1024 * SCALE))x$((768 * SCALE))x24" -nolisten tcp >/dev/null 2>&1 &
  PIDS+=($!)
  export DISPLAY="$display"
  for _ in $(seq 50); do xdotool getmouselocation >/dev/null 2>&1 && break; sleep 0.1; done
  openbox >/dev/null 2>&1 &
  PIDS+=($!)
  sleep 1

  echo "screenshots of $RUN at scale $SCALE in $SHOTS ($THEME theme):"
  [ -z "$MOUNTED" ] || rm -f "$MOUNTED/Music/sparse.img"
  ( [ "$THEME" = dark ] && dark_theme; QT_SCALE_FACTOR="$SCALE" exec "$RUN" ) >"$WORK/kvor.log" 2>&1 &
  kvor=$!
  PIDS+=($kvor)

  "$2"
  quit_program

  for _ in $(seq 50); do kill -0 "$kvor" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$kvor" 2>/dev/null; then
    echo "screenshots: the program did not end after Exit, Yes" >&2
    exit 1
  fi
  # This run's window manager and display go; the next run starts its own.
  for ((i = ${#PIDS[@]} - 1; i >= first; i--)); do
    kill "${PIDS[$i]}" 2>/dev/null || true
    wait "${PIDS[$i]}" 2>/dev/null || true
  done
  PIDS=("${PIDS[@]:0:first}")
}

main() {
  local scale
  if [ -n "$README_SHOT" ]; then
    run 1 shot_readme
    return
  fi
  make_drive
  for scale in $SCALES; do
    SHOTS="$OUT"
    [ "$scale" = 1 ] || SHOTS="$OUT/scale-$scale"
    mkdir -p "$SHOTS"
    run "$scale" shoot_all
  done
}

main
