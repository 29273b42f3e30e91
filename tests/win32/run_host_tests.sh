#!/bin/sh
# Runs the 32-bit host test programs in one boot of the emulated machine
# (one wine session: only the first program pays for starting wine), leaving
# each program's output and exit status in RESULTS for show_result.sh.
# Usage: run_host_tests.sh RUNNER RESULTS NAME COMMANDLINE [NAME COMMANDLINE]...
# Run from the folder holding the programs and the DLLs.
runner="$1"; results="$2"; shift 2
rm -rf "$results"
mkdir -p "$results" || exit 1
exec bash "$runner" --server host32_batch.exe "$results" "$@"
