#!/bin/sh
# Runs runner_probe.exe through run-win32.sh and checks what comes back: the
# exit status, standard output and standard error apart, arguments with blanks
# and quotes intact, and a file written in the (shared) current folder.
# Usage: runner_test.sh RUNNER (from the folder holding runner_probe.exe)
runner="$1"
rm -f probe-written.txt
bash "$runner" runner_probe.exe 3 probe-written.txt "two words" "it's" 'back\slash' >probe.out 2>probe.err
status=$?
failed=0
expect() {
  if [ "$2" = "$3" ]; then echo "ok   $1"; else echo "FAIL $1: [$2], expected [$3]"; failed=1; fi
}
cr=$(printf '\r')
# Byte for byte: the C runtime's text mode ends each line with CR LF.
expect "exit status" "$status" 3
expect "standard output" "$(cat probe.out)" "[two words][it's][back\\slash]$cr"
expect "standard error" "$(cat probe.err)" "on standard error$cr"
expect "file written in the current folder" "$(cat probe-written.txt 2>/dev/null)" "written inside"
rm -f probe.out probe.err probe-written.txt
exit $failed
