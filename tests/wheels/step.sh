#!/bin/sh
# Runs one step of a long build or check: names it and the log that takes
# its output, and says how long it took; a failing step shows the end of
# its log. The log is kept either way.
# Usage: step.sh LOG TITLE COMMAND [ARG...]
set -u
log=$1 title=$2
shift 2
mkdir -p "$(dirname "$log")"
echo "== $title (log: $log)"
start=$(date +%s)
status=0
"$@" >"$log" 2>&1 </dev/null || status=$?
took=$(( $(date +%s) - start ))
if [ "$took" -ge 60 ]; then took="$((took / 60)) min $((took % 60)) s"; else took="$took s"; fi
if [ "$status" -ne 0 ]; then
    tail -n 40 "$log"
    echo "   failed after $took (exit status $status): the whole log is in $log"
    exit "$status"
fi
echo "   done in $took"
