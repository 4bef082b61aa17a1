#!/bin/sh
# Runs the planted-faults program with the sanitizer options of the pass that calls it and
# fails unless the sanitizer reports the fault planted for it, and nothing besides: a pass
# whose suppressions hide a fault of ours below Qt's frames must not go on to say "clean".
# Usage: expect-planted.sh race|leak COMMAND...
set -u
kind=$1
shift
out=$(QT_QPA_PLATFORM=offscreen "$@" 2>&1)
status=$?

fail() {
  printf '%s\n' "$out" >&2
  echo "sanitizer self-test: $1" >&2
  exit 1
}

case $kind in
race)
  found=$(printf '%s\n' "$out" | grep '^SUMMARY: ThreadSanitizer:')
  [ -n "$found" ] || fail "ThreadSanitizer did not report the planted race (status $status)"
  others=$(printf '%s\n' "$found" | grep -cv 'planted\.cpp:[0-9]* in \(Tick\|PlantedWorker\)$')
  [ "$others" = 0 ] || fail "ThreadSanitizer reported more than the planted race"
  ;;
leak)
  found=$(printf '%s\n' "$out" | grep 'leak of')
  [ "$found" = "Direct leak of 4242 byte(s) in 1 object(s) allocated from:" ] ||
    fail "LeakSanitizer did not report the planted leak alone (status $status)"
  frame=$(printf '%s\n' "$out" | grep -m1 ' in PlantedLeak .*planted\.cpp:') ||
    fail "LeakSanitizer's report does not name the planted leak's frame"
  found="${found% allocated from:}, ${frame#*0x* }"
  printf '%s\n' "$out" | grep -q 'ERROR: AddressSanitizer\|runtime error:' &&
    fail "AddressSanitizer or UndefinedBehaviorSanitizer reported an error"
  ;;
*)
  echo "usage: $0 race|leak COMMAND..." >&2
  exit 2
  ;;
esac
[ "$status" != 0 ] || fail "the sanitizer reported the planted $kind but the program exited 0"
echo "sanitizer self-test: planted $kind reported: $(printf '%s\n' "$found" | head -1)"
