#!/bin/sh
# Reports one 32-bit host test program's result kept by run_host_tests.sh:
# prints its output and passes if its exit status was 0.
# Usage: show_result.sh RESULTS NAME
results="$1"; name="$2"
if [ ! -f "$results/$name.status" ]; then
  echo "$name: no result; the machine run (test win32.machine) did not reach it"
  [ -f "$results/$name.out" ] && cat "$results/$name.out"
  exit 1
fi
cat "$results/$name.out"
status=$(cat "$results/$name.status")
echo "$name: exit status $status"
[ "$status" = 0 ]
