#!/usr/bin/env bash
# Drives the windowed applier under Wine on a private X display, as a user
# would: started with a patch and a target, with only a patch in the target
# directory, with a wrong target and then the right one typed in, with a
# file of the target changed by hand, closed during a search, its usage
# boxes, and a self-applying windowed patch made by the builder, whole and
# cut short. A small
# driver program reads the window's controls (and how wide its list's
# lines are) and presses the buttons of its boxes; keys are typed with
# xdotool. Screenshots of the main window are kept in ARTEFACTS. Every look
# at the window after an action waits (up to 10 s) for the state it expects:
# the window updates itself while the driver reads it. The runs without a user
# (/quiet, /passive) are started by the driver, which reports every window
# they show and their whole exit code. NAMED_HOLDERS is Pelmo32 whose
# Restart Manager names the programs VERDELIN_TEST_HOLDERS gives (Wine's
# names none).
#   tests/window_tests.sh PELMO32 KESTMAIN DRIVER ARTEFACTS RUNNER [NAMED_HOLDERS]
# The Wine prefix comes from WINEPREFIX, like the other Windows tests.
set -u
. "$(dirname "$0")/checks.sh"
pelmo32=$(realpath "$1") kest=$(realpath "$2") driver=$(realpath "$3") artefacts=$(realpath -m "$4")
runner=$5
named=${6:+$(realpath "$6")}
root=$(cd "$(dirname "$0")/.." && pwd)
for tool in Xvfb xdotool import; do
  command -v "$tool" >/dev/null || { echo "window tests need $tool (scripts/setup installs it)"; exit 1; }
done
mkdir -p "$artefacts"
work=$(mktemp -d)
xvfb_pid=""
cleanup() {
  wineserver -k 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  [ -d "$work/ro" ] && writable "$work/ro"
  rm -rf "$work"
}
# A directory the user may not change: root writes anywhere, unless the
# directory is immutable.
read_only() {
  if [ "$(id -u)" = 0 ]; then chattr +i "$1" 2>/dev/null; else chmod a-w "$1"; fi
}
writable() {
  if [ "$(id -u)" = 0 ]; then chattr -i "$1" 2>/dev/null; else chmod u+w "$1"; fi
}
trap cleanup EXIT
cd "$work" || exit 1
export TMPDIR=$work/tmp TMP=$work/tmp TEMP=$work/tmp TZ=UTC
mkdir -p tmp

# A display of our own: Xvfb picks a free number and tells it on fd 3.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>display.txt >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do [ -s display.txt ] && break; sleep 0.1; done
[ -s display.txt ] || { echo "Xvfb did not start"; exit 1; }
export DISPLAY=:$(head -1 display.txt)
# A Wine server that was started without a display gives later programs no
# windows: the prefix's server starts again, with this display.
wineserver -k 2>/dev/null
timeout 15 wineserver -w 2>/dev/null
wineserver -p </dev/null >/dev/null 2>&1
"$runner" cmd /c exit </dev/null >/dev/null 2>&1

main='Patch file using Verdelin technology.'
# What the Windows programs print on their error output: Wine's own
# messages land there (a server that dropped its clients), shown at the end.
wine_errors=$work/wine-errors.txt
: >"$wine_errors"
drive() {
  "$runner" "$driver" "$@" </dev/null 2>>"$wine_errors" | tr -d '\r'
  return "${PIPESTATUS[0]}"
}
# start DIR PROGRAM ARGS...: runs a windowed program in the background in
# DIR; `finish` waits for it and leaves its exit code in $rc.
app_pid=""
start() {
  local dir=$1
  shift
  (cd "$dir" && "$runner" "$@" </dev/null >/dev/null 2>>"$wine_errors"; echo $? >"$work/rc.txt") &
  app_pid=$!
}
finish() {
  local i
  for i in $(seq 300); do kill -0 "$app_pid" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$app_pid" 2>/dev/null; then
    rc=timeout
    drive close "$main" >/dev/null
  else
    wait "$app_pid" 2>/dev/null
    rc=$(cat "$work/rc.txt")
  fi
}
# The box CAPTION appears and holds TEXT (read until it does, up to 10 s: a
# box may be found before its text is there); then BUTTON is pressed.
answer() {  # answer NAME CAPTION TEXT BUTTON
  local text=""
  if ! drive wait "$2" 30 >/dev/null; then not_ok "$1" "no \"$2\" box"; return 1; fi
  box_holds() { text=$(drive text "$1"); [[ "$text" == *"$2"* ]]; }
  wait_for 10 box_holds "$2" "$3"
  drive press "$2" "$4" >/dev/null
  if [[ "$text" == *"$3"* ]]; then ok "$1"; else not_ok "$1" "the box says: $text"; return 1; fi
}
# The main window's controls match the pattern (grep -E).
shows() { drive list "$main" | grep -q -E "$1"; }
exit_enabled='^child Button 519 342 65 25 1 1 .*"&Exit"$'
# The run has ended: Exit is enabled again, which the window does last.
# Before its first run the window shows an enabled Exit too, so a wait for
# the end of a run that may not have started yet waits for its last line.
idle() { shows "$exit_enabled"; }
busy() { shows '^child Button 519 342 65 25 1 0 .*"&Exit"$'; }
success='Ok, patch file applied with SUCCESS!'
ended_with() {  # ended_with LINE: the run is over and LINE is the list's last
  local layout
  layout=$(drive list "$main")
  grep -q -E "$exit_enabled" <<<"$layout" && [ "$(grep '^item ' <<<"$layout" | tail -1)" = "item \"$1\"" ]
}
box_closed() { ! drive wait "$1" 0 >/dev/null; }
same_tree() { diff -r -x Backup "$1" "$2" >/dev/null; }
fresh() { rm -rf "$1" && cp -r "$root/examples/rocket-1.0" "$1"; }

"$runner" "$kest" -q '-d=*' "$root/examples/rocket-1.0" "$root/examples/rocket-1.1" upd >/dev/null 2>&1
[ -f upd.utp ] || { echo "the builder made no patch"; exit 1; }

# --- a patch and the right target: applied without a question ---------------
fresh installed
start . "$pelmo32" upd.utp installed
check_soon "started with a patch and its target: the run ends with the success message" ended_with "$success"
check "no box was shown" box_closed Error
check "the files are the new ones" same_tree installed "$root/examples/rocket-1.1"
check_soon "Apply is hidden afterwards" shows '^child Button 449 342 65 25 0 1 .*"&Apply"$'
check_soon "Browse is disabled afterwards" shows '^child Button 519 160 65 25 1 0 .*"&Browse"$'
check_soon "the target field is disabled and shows the target" shows '^child Edit [0-9]* 160 [0-9]* 25 1 0 .*"installed"$'
layout=$(drive list "$main")
# The controls where the layout table puts them; the field from the width
# of "Apply To:" to Browse.
check "the main window is 600 x 405" grep -q '^window [0-9]* [0-9]* 600 405$' <<<"$layout"
check "the Exit button" grep -q '^child Button 519 342 65 25 ' <<<"$layout"
check "the upper panel" grep -q '^child Edit 10 25 575 125 1 1 ' <<<"$layout"
check "the text toggle, hidden without a comment" grep -q '^child Button 200 4 65 20 0 1 .*"Creator"$' <<<"$layout"
check "the message list" grep -q '^child ListBox 9 215 575 125 1 1 ' <<<"$layout"
field=$(grep '^child Edit [0-9]* 160 ' <<<"$layout" | head -1)
read -r _ _ fx _ fw _ <<<"$field"
check "the target field ends where Browse begins" test "$((fx + fw))" = 500 -a "$fx" -gt 25
import -window root "$artefacts/main-window.png" 2>/dev/null
check "a screenshot of the main window" test -s "$artefacts/main-window.png"
drive close "$main" >/dev/null
finish
check "closed when idle: exit code 0" test "$rc" = 0

# --- only the patch, started in the target directory ------------------------
fresh installed
start installed "$pelmo32" ../upd.utp
answer "the current directory: \"Patch target found\"" "Patch target found" \
  "Do you want to apply the patch to it?" Yes
check_soon "Yes: the run ends with the success message" ended_with "$success"
check "Yes applies the patch" same_tree installed "$root/examples/rocket-1.1"
drive close "$main" >/dev/null
finish

# --- a wrong target, then the right one typed into the field ----------------
fresh installed
mkdir -p wrong
start . "$pelmo32" upd.utp wrong
answer "a wrong target: the \"Error\" box" Error "The patch is not applicable to it or you denied to do so." OK
# The box was shown inside the run: once it is answered, the run ends.
check_soon "after the error the window is idle" idle
target=$("$runner" winepath -w "$work/installed" 2>/dev/null | tr -d '\r')
# Keys go to the window under the pointer (no window manager): click into
# the field, at a client point turned into screen coordinates.
read -r _ wx wy ww wh < <(drive list "$main" | grep '^window ')
read -r _ cw ch < <(drive list "$main" | grep '^client ')
border=$(((ww - cw) / 2))
xdotool mousemove "$((wx + border + 300))" "$((wy + wh - ch - border + 100))"
# Alt+b: the open-file dialog, cancelled.
xdotool key alt+b
if drive wait "Select target to apply patch to:" 20 >/dev/null; then
  ok "Alt+b opens the Browse dialog"
  drive press "Select target to apply patch to:" Cancel >/dev/null
  drive gone "Select target to apply patch to:" 20 >/dev/null
else
  not_ok "Alt+b opens the Browse dialog"
fi
xdotool mousemove "$((wx + border + 300))" "$((wy + wh - ch - border + 172))" click 1
xdotool key --delay 20 End shift+Home BackSpace
xdotool type --delay 10 "$target"
drive press "$main" Apply >/dev/null
check_soon "Apply: the run ends with the success message" ended_with "$success"
check "the typed path and the Apply button apply the patch" same_tree installed "$root/examples/rocket-1.1"
check "no second error" box_closed Error
drive close "$main" >/dev/null
finish

# --- a file changed by hand: named in the box, the list read whole ----------
fresh installed
echo edited >>installed/rocket.exe
# The console applier's words, as the box's text reads (line ends escaped).
edited='File "rocket.exe" matches none of the versions this patch updates: it was changed\r\nafter it was installed, or it belongs to another release. Reinstall it,\r\nthen apply the patch again.\r\n\r\nError, patch is not applicable to'
start . "$pelmo32" upd.utp installed
drive wait Error 30 >/dev/null && import -window root "$artefacts/edited-file.png" 2>/dev/null
answer "an edited file: the first \"Error\" box names it and says what to do" Error "$edited" OK
check_soon "... and so does the list" ended_with 'Error, patch is not applicable to \"installed\".'
drive press "$main" Apply >/dev/null
answer "Apply: the box names it again" Error "$edited" OK
check_soon "after Apply the window is idle" idle
# Every line can be read whole: the list scrolls through the widest one,
# which is wider than the list (the system font, as the list draws it).
readable_whole() {
  local widths font extent client widest
  widths=$(drive widths "$main")
  read -r _ font extent client <<<"$(grep '^list ' <<<"$widths")"
  widest=$(sed -n 's/^width \([0-9]*\) .*/\1/p' <<<"$widths" | sort -n | tail -1)
  [ "$font" = default ] && [ "${widest:-0}" -gt "${client:-0}" ] && [ "${extent:-0}" -ge "$widest" ]
}
check_soon "the list scrolls through its longest line, wider than the list" readable_whole
check "the edited file is left as it was" eval '[ "$(tail -c 7 installed/rocket.exe)" = edited ] && [ ! -e installed/Backup ]'
drive close "$main" >/dev/null
finish

# --- closing the window while the search runs -------------------------------
mkdir -p search
(cd search && mkdir d{1..20000})
start . "$pelmo32" upd.utp search
drive wait "$main" 30 >/dev/null
check_soon "the search runs: Exit is disabled" busy
drive close "$main" >/dev/null
answer "closing during the search asks first" Confirm "Really quit and stop ongoing process?!" Yes
answer "the stopped search ends the run with message 15" Error "The patch is not applicable to it" OK
finish
check "the window closes after the run: exit code 0" test "$rc" = 0

# --- a file that is no patch ------------------------------------------------
echo "not a patch" >bad.utp
start . "$pelmo32" bad.utp
answer "a file that is no patch: the \"Patch Error\" box" "Patch Error" "not a patch file." OK
finish
check "the patch error: exit code 255" test "$rc" = 255

# --- usage boxes ------------------------------------------------------------
start . "$pelmo32" upd.utp -h
answer "-h shows the usage box" "Commandline usage" "Usage: Pelmo32.exe patch.utp [path]" OK
finish
check "-h: exit code 1" test "$rc" = 1

# --- a windowed self-applying patch -----------------------------------------
# applies_itself NAME EXE [SCREENSHOT]: the directory stub EXE started in a
# fresh target directory asks, is told Yes, and applies itself; its window
# closed, it ends with exit code 0.
applies_itself() {
  local name=$1 exe=$2 screenshot=${3:-}
  fresh installed
  start installed "../$exe"
  answer "$name in the target directory asks" "Patch target found" "Do you want to apply the patch to it?" Yes
  check_soon "$name: the run ends with the success message" ended_with "$success"
  check "$name applies itself" same_tree installed "$root/examples/rocket-1.1"
  [ -z "$screenshot" ] || import -window root "$artefacts/$screenshot" 2>/dev/null
  drive close "$main" >/dev/null
  finish
  check "$name: exit code 0" test "$rc" = 0
}
# file_stub_applies NAME EXE: the single-file stub EXE, given the file to
# patch, applies itself without a question.
file_stub_applies() {
  local name=$1 exe=$2
  fresh installed
  start installed "../$exe" rocket.exe
  check_soon "$name: the run ends with the success message" ended_with "$success"
  check "$name applies itself to the file given" cmp -s installed/rocket.exe "$root/examples/rocket-1.1/rocket.exe"
  check "... without a question" box_closed "Patch target found"
  drive close "$main" >/dev/null
  finish
  check "$name: exit code 0" test "$rc" = 0
}
# With the vendor's names in its version resource (-R).
"$runner" "$kest" -q -s=gui '-d=*' -R=ProductName="Rocket Editor" -R=CompanyName="Rocket Works" \
  "$root/examples/rocket-1.0" "$root/examples/rocket-1.1" update >/dev/null 2>&1
check "kestmain -s=gui makes update.exe" test -s update.exe
start . ./update.exe one two
answer "a self-applying patch given two arguments shows its usage" "Commandline usage" "Usage: Patchname.exe [path]" OK
finish
check "two arguments: exit code 1" test "$rc" = 1
applies_itself update.exe update.exe self-applying.png

# Signed as vendors sign their programs: the patch is found before the
# certificate table.
if openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 -subj "/CN=Verdelin test" \
     >/dev/null 2>&1 &&
   osslsigncode sign -certs cert.pem -key key.pem -n Update -in update.exe -out signed.exe >/dev/null 2>&1; then
  check "osslsigncode verifies the signed windowed patch" \
    eval 'osslsigncode verify -CAfile cert.pem -in signed.exe >verify.txt 2>&1'
  applies_itself "a signed windowed patch" signed.exe
else
  not_ok "signing update.exe with openssl and osslsigncode"
fi

# The single-file windowed stub, given the file to patch.
"$runner" "$kest" -q -s=gui "$root/examples/rocket-1.0/rocket.exe" "$root/examples/rocket-1.1/rocket.exe" \
  rocket-file >/dev/null 2>&1
file_stub_applies "the single-file stub" rocket-file.exe

# Cut short as a download that stopped leaves them (just behind the program,
# in the middle of the patch, 3 bytes before the end), both windowed stubs
# say so in their "Patch Error" box, never that they hold no patch, and end
# with exit code 255, the target untouched.
cut_text='" is cut short: the file ends before its patch data does. Probably\r\nits download did not finish; download the patch again.'
# cut_short PROGRAM CUT ARGS...: PROGRAM cut to CUT bytes, run in a fresh
# target with ARGS.
cut_short() {
  local program=$1 cut=$2 whole
  shift 2
  whole=$(wc -c <"$program")
  head -c "$cut" "$program" >"cut-$program"
  fresh installed
  start installed "../cut-$program" "$@"
  answer "$program cut to $cut of $whole bytes says so" "Patch Error" "cut-$program$cut_text" OK
  finish
  check "... exit code 255, the target untouched" eval '[ "$rc" = 255 ] && same_tree installed "$root/examples/rocket-1.0"'
}
stub_size=$(wc -c <"$(dirname "$kest")/stubs/gui/Win32/comp/dirpat/nolocal/pelmora.stb")
whole=$(wc -c <update.exe)
for cut in $((stub_size + 1)) $(((stub_size + whole) / 2)) $((whole - 3)); do
  cut_short update.exe "$cut"
done
stub_size=$(wc -c <"$(dirname "$kest")/stubs/gui/Win32/comp/filepat/nolocal/pelmora.stb")
cut_short rocket-file.exe $(((stub_size + $(wc -c <rocket-file.exe)) / 2)) rocket.exe

# --- runs without a user: /quiet, /passive, /log, /?, unknown switches -------
# `drive run` lists each window the program shows ("window ...") and ends
# with its whole exit code ("exit N").
exit_of() { sed -n 's/^exit //p' <<<"$1"; }
no_window() { ! grep -q '^window ' <<<"$1"; }
fresh installed
result=$(drive run 60 "$pelmo32" /quiet /log quiet.log upd.utp installed)
check "/quiet applies: exit code 0" test "$(exit_of "$result")" = 0
check "/quiet shows no window and no box" no_window "$result"
check "/quiet applied the patch" same_tree installed "$root/examples/rocket-1.1"
check "/log keeps what a window would have shown" grep -q 'Ok, patch file applied with SUCCESS!' quiet.log
check "/log ends with the exit code" grep -q '^Exit code 0\.' <(tr -d '\r' <quiet.log)
mkdir -p wrong
result=$(drive run 60 "$pelmo32" /quiet upd.utp wrong)
check "/quiet on a target the patch does not fit: exit code 1642" test "$(exit_of "$result")" = 1642
check "... and no box" no_window "$result"
result=$(drive run 60 "$pelmo32" /quiet /x upd.utp installed)
check "/quiet with an unknown switch: exit code 1639, no box" \
  eval 'test "$(exit_of "$result")" = 1639 && no_window "$result"'
start . "$pelmo32" /x upd.utp
answer "an unknown switch is refused with the usage, never taken as a path" "Commandline usage" \
  'Illegal option "/x" used!' OK
finish
check "the refused switch: exit code 1" test "$rc" = 1
start . "$pelmo32" /?
answer "/? shows the usage with the switches" "Commandline usage" "/quiet (no window), /passive (progress only)" OK
finish
check "/?: exit code 1" test "$rc" = 1
fresh installed
result=$(drive run 60 "$pelmo32" /passive upd.utp installed)
check "/passive applies and closes its window by itself: exit code 0" test "$(exit_of "$result")" = 0
check "/passive applied the patch" same_tree installed "$root/examples/rocket-1.1"
# A /passive window that searches long enough to be closed: the user's
# own close is confirmed, and ends the run as cancelled.
(drive run 120 "$pelmo32" /passive upd.utp search >passive.txt) &
passive_pid=$!
check_soon "/passive shows its window while it works" busy
drive close "$main" >/dev/null
answer "closing a /passive window asks first" Confirm "Really quit and stop ongoing process?!" Yes
wait "$passive_pid"
result=$(tr -d '\r' <passive.txt)
check "a /passive run the user stopped: exit code 1602" test "$(exit_of "$result")" = 1602
check "... after its one window and the question" \
  eval 'test "$(grep -c "^window " <<<"$result")" = 2'

# --- LZMA bodies (-o=lzma): Pelmo32 and both windowed self-applying stubs ----
# The directory stub compares no version: it reads the body as the header's
# flags say.
# patch_version FILE: the format version of the patch data at FILE's end
# (221: an LZMA body), found as the trailer points back to the header.
patch_version() {
  local size length
  size=$(stat -c %s "$1")
  length=$(od -An -tu4 -j $((size - 8)) -N4 "$1" | tr -d ' ')
  od -An -tu4 -j $((size - length + 4)) -N4 "$1" | tr -d ' '
}
"$runner" "$kest" -q -o=lzma '-d=*' "$root/examples/rocket-1.0" "$root/examples/rocket-1.1" upd-lzma >/dev/null 2>&1
check "upd-lzma.utp holds an LZMA body" test "$(patch_version upd-lzma.utp)" = 221
fresh installed
result=$(drive run 60 "$pelmo32" /quiet upd-lzma.utp installed)
check "Pelmo32 applies an LZMA patch: exit code 0" test "$(exit_of "$result")" = 0
check "... the files are the new ones" same_tree installed "$root/examples/rocket-1.1"
"$runner" "$kest" -q -s=gui -o=lzma '-d=*' "$root/examples/rocket-1.0" "$root/examples/rocket-1.1" \
  update-lzma >/dev/null 2>&1
check "kestmain -s=gui -o=lzma makes update-lzma.exe with an LZMA body" test "$(patch_version update-lzma.exe)" = 221
applies_itself update-lzma.exe update-lzma.exe
"$runner" "$kest" -q -s=gui -o=lzma "$root/examples/rocket-1.0/rocket.exe" "$root/examples/rocket-1.1/rocket.exe" \
  rocket-lzma >/dev/null 2>&1
check "rocket-lzma.exe holds an LZMA body" test "$(patch_version rocket-lzma.exe)" = 221
file_stub_applies "the single-file stub, an LZMA patch" rocket-lzma.exe

# --- a console update.exe, and another patch of the same target -------------
"$runner" "$kest" -q -s '-d=*' "$root/examples/rocket-1.0" "$root/examples/rocket-1.1" console-update >/dev/null 2>&1
check "kestmain -s makes a console update.exe" test -s console-update.exe
fresh installed
# A run that asks whether to patch a target has claimed it.
start installed "$pelmo32" ../upd.utp
drive wait "Patch target found" 30 >/dev/null
result=$(drive run 60 ./console-update.exe /quiet installed)
check "the console update.exe with /quiet while another patch of the target runs: exit code 1618" \
  test "$(exit_of "$result")" = 1618
check "... and the target untouched" same_tree installed "$root/examples/rocket-1.0"
drive press "Patch target found" Yes >/dev/null
check_soon "the first run goes on: the success message" ended_with "$success"
drive close "$main" >/dev/null
finish
fresh installed
result=$(drive run 60 ./console-update.exe /quiet installed)
check "the console update.exe with /quiet applies: exit code 0" test "$(exit_of "$result")" = 0
check "... with no window" no_window "$result"
check "... and applied" same_tree installed "$root/examples/rocket-1.1"
result=$(drive run 60 ./console-update.exe /quiet wrong)
check "the console update.exe with /quiet on a wrong target: exit code 1642" test "$(exit_of "$result")" = 1642

# --- a file in use ------------------------------------------------------------
fresh installed
# Straight to the file: a pipe would hold the driver's line back.
"$runner" "$driver" hold 'installed\rocket.exe' 120 </dev/null >hold.txt 2>&1 &
holder_pid=$!
if wait_for 20 grep -q holding hold.txt; then
  result=$(drive run 60 "$pelmo32" /quiet upd.utp installed)
  check "/quiet with a file in use: exit code 32" test "$(exit_of "$result")" = 32
  check "... and the target untouched" same_tree installed "$root/examples/rocket-1.0"
  if [ -n "$named" ]; then
    VERDELIN_TEST_HOLDERS='rocket.exe:1234' start . "$named" upd.utp installed
    if drive wait Error 30 >/dev/null && wait_for 10 eval 'drive text Error | grep -q "close rocket.exe (1234)"'; then
      ok "a file in use: the message names the program that holds it"
      import -window root "$artefacts/in-use.png" 2>/dev/null
      check "a screenshot of the in-use message" test -s "$artefacts/in-use.png"
    else
      not_ok "a file in use: the message names the program that holds it" "$(drive text Error)"
    fi
    drive press Error OK >/dev/null
    check_soon "the list says so too" shows '^item "Error, \\"rocket.exe\\" is in use: close rocket.exe \(1234\), then apply the patch again\."$'
    drive close "$main" >/dev/null
    finish
  fi
else
  not_ok "the driver holds a file open" "$(cat hold.txt)"
fi
kill "$holder_pid" 2>/dev/null
wait "$holder_pid" 2>/dev/null

# --- a target the user may not change: administrator rights are offered ------
# The program runs without administrator rights (the driver's --limited).
offer="Do you want to start the patch again with administrator rights?"
rm -rf ro && cp -r "$root/examples/rocket-1.0" ro
if read_only ro; then
  (drive run --limited 120 "$pelmo32" upd.utp ro >elevate.txt) &
  elevate_pid=$!
  answer "a folder the user may not change: the offer to start again with administrator rights" \
    "Administrator rights needed" "$offer" No
  check_soon "No: the window stays, idle" idle
  check "the list names the missing rights" shows '^item "Error, you may not change \\"data\\\\maps.dat\\": applying this patch needs rights that you"$'
  drive close "$main" >/dev/null
  wait "$elevate_pid"
  check "... and closes with exit code 0" grep -qx 'exit 0' <(tr -d '\r' <elevate.txt)
  (drive run --limited 120 "$pelmo32" upd.utp ro >elevate.txt) &
  elevate_pid=$!
  answer "the offer again" "Administrator rights needed" "$offer" Yes
  wait "$elevate_pid"
  check "Yes: this program closes for the one started with the rights" grep -qx 'exit 0' <(tr -d '\r' <elevate.txt)
  # The program started again meets the same refusal: the folder is
  # immutable even for root. Wine gives a program that "runas" starts from
  # one without the rights none either, so it may offer them again.
  refused_again() { drive wait Error 0 >/dev/null || drive wait "Administrator rights needed" 0 >/dev/null; }
  if wait_for 30 refused_again; then
    ok "the program started again meets the same refusal"
    if drive wait Error 0 >/dev/null; then
      drive press Error OK >/dev/null
    else
      drive press "Administrator rights needed" No >/dev/null
    fi
  else
    not_ok "the program started again meets the same refusal" "no box"
  fi
  check_soon "... for the target as an absolute path" shows '^child Edit [0-9]* 160 .*"[A-Z]:\\\\.*\\\\ro"$'
  drive close "$main" >/dev/null
  check "... and closes" drive gone "$main" 20
  result=$(drive run --limited 60 "$pelmo32" /quiet upd.utp ro)
  check "/quiet on a folder the user may not change: exit code 5, no box" \
    eval 'test "$(exit_of "$result")" = 5 && no_window "$result"'
  check "the folder is as it was" same_tree ro "$root/examples/rocket-1.0"
  writable ro
else
  not_ok "a folder the user may not change" "chattr +i (root) or chmod a-w failed here"
fi

grep -h 'wine client error' "$wine_errors" | head -3
checks_done
