#!/usr/bin/env bash
# Key presses on a real console reach dovelflash.exe as the console's key events.
# Runs it in a terminal (tmux) beside the adapter library double that lacks ordinal 7,
# so the link never starts, and answers its prompts with keys:
#   an arrow key (no character: passed over), Shift+Tab (10: try again),
#   Shift+n ('N': give up), then any key at the exit prompt.
# Usage: console_keys_terminal.sh RUNNER... -- FOLDER
# RUNNER runs a Windows program (wine, or tests/windows/wine-run.sh PREFIX).
set -euo pipefail

runner=()
while [ "$#" -gt 0 ] && [ "$1" != "--" ]; do
  runner+=("$1")
  shift
done
shift
folder=$1

if ! command -v tmux >/dev/null; then
  echo "tmux is not installed: no terminal to test key events in"
  exit 77
fi

socket="dovel-keys-$$"
trap 'tmux -L "$socket" kill-server 2>/dev/null || true' EXIT

# A pane tall enough for the whole run; the shell keeps it open after the program.
printf -v command '%q ' "${runner[@]}"
tmux -L "$socket" new-session -d -x 100 -y 60 \
  "cd $(printf %q "$folder") && DOVEL_CAN= ${command}dovelflash.exe; echo \"exit status \$?\"; sleep 600"

pane() { tmux -L "$socket" capture-pane -p | sed -e 's/[[:space:]]*$//'; }

# Waits until the pane shows TEXT COUNT times; the program's own pace sets the wait.
WAIT_LIMIT_S=60
wait_for() {
  local text=$1 count=$2 waited=0
  until [ "$(pane | grep -cF -- "$text")" -ge "$count" ]; do
    if [ "$waited" -ge $((WAIT_LIMIT_S * 10)) ]; then
      echo "gave up waiting for '$text' (x$count); the pane shows:"
      pane
      exit 1
    fi
    sleep 0.1
    waited=$((waited + 1))
  done
}

PROMPT="Do you want to try again (y/n)?"
wait_for "$PROMPT" 1
tmux -L "$socket" send-keys Left
tmux -L "$socket" send-keys BTab
wait_for "$PROMPT" 2
tmux -L "$socket" send-keys N
wait_for "Press any key to exit..." 1
tmux -L "$socket" send-keys x
wait_for "exit status" 1

# wine hands the program its full path as argv[0], on drive Z:, the root of the host.
windows_path="Z:${folder//\//\\}\\dovelflash.exe"
attempt='
Initializing USB/CAN device...
pcan-usb: PCAN_USB.dll lacks ordinal 7 (write one frame)
ERROR - CAN_Init(): 524288
[FAILED] Please check that your USB/CAN device is plugged in.

Do you want to try again (y/n)?'
expected="
Zendra firmware download utility
Version 1.0
Argument count = 1
  arg[0] = ${windows_path}
${attempt}${attempt}
Press any key to exit...
Done.

exit status 0"

actual=$(pane | sed -e :a -e '/^\n*$/{$d;N;ba' -e '}')
if [ "$actual" != "$expected" ]; then
  echo "the terminal shows something else; expected:"
  echo "$expected"
  echo "---- shown:"
  echo "$actual"
  diff <(echo "$expected") <(echo "$actual") || true
  exit 1
fi
echo "keys reached the console's key wait as expected"
