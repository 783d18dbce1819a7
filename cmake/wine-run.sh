#!/bin/sh
# Runs one Windows test program under wine, for ctest and the test discovery.
#
# On a loaded machine wine now and then fails to start a program at all: it
# ends at once with a failure, the program having printed nothing. Such a
# start is tried again, three times at most. A program that printed anything
# ran, and its result stands: a failing test still fails, once.
out="$(mktemp)" || exit 1
err="$(mktemp)" || exit 1
trap 'rm -f "$out" "$err"' EXIT
tries=0
while :; do
  tries=$((tries + 1))
  wine "$@" >"$out" 2>"$err"
  status=$?
  if [ "$status" -eq 0 ] || [ -s "$out" ] || [ -s "$err" ] || [ "$tries" -ge 3 ]; then
    break
  fi
  echo "wine-run: $1 ended with status $status before printing anything; starting it again" >&2
done
cat "$out"
cat "$err" >&2
exit "$status"
