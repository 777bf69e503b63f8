#!/bin/sh
# One step of a long build or check: names it and the log that takes its
# output, and says how long it took; a failing step shows the end of its
# log, which is kept either way. Either runs COMMAND as the step, or, for a
# block of shell in a Makefile, prints the step's first line (begin) and its
# last (end, given when it started and its exit status, which it exits with).
# Usage: step.sh LOG TITLE COMMAND [ARG...]
#        step.sh begin LOG TITLE
#        step.sh end LOG START STATUS
set -u
begin() {
    mkdir -p "$(dirname "$1")"
    echo "== $2 (log: $1)"
}
end() {
    took=$(( $(date +%s) - $2 ))
    if [ "$took" -ge 60 ]; then took="$((took / 60)) min $((took % 60)) s"; else took="$took s"; fi
    if [ "$3" -ne 0 ]; then
        tail -n 40 "$1"
        echo "   failed after $took (exit status $3): the whole log is in $1"
        exit "$3"
    fi
    echo "   done in $took"
}
case $1 in
begin) begin "$2" "$3" ;;
end) end "$2" "$3" "$4" ;;
*)
    log=$1 title=$2
    shift 2
    begin "$log" "$title"
    start=$(date +%s)
    status=0
    "$@" >"$log" 2>&1 </dev/null || status=$?
    end "$log" "$start" "$status"
    ;;
esac
