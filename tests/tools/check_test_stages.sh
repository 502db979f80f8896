#!/bin/sh
# tools/test_stages.sh over stand-in stages: the summary and verdict after a clean run, a skipped
# stage and a failure, and the exit status make sees. usage: check_test_stages.sh <test_stages.sh>
stages=$1
dir=$(mktemp -d) || exit 1
trap 'rm -rf "$dir"' EXIT
# A stand-in for make: "good" passes, "idle" skips itself, "bad" prints and fails.
cat >"$dir/fake_make" <<'FAKE'
case $2 in
good) echo "good ran" ;;
idle) echo "idle: skipped: nothing here" ;;
bad) echo "bad broke"; exit 3 ;;
esac
FAKE
fail=0
expect() {  # expect <status> <summary lines...> -- <stages...>
  want_rc=$1; shift; want=""
  while [ "$1" != -- ]; do want="$want$1
"; shift; done
  shift
  out=$(sh "$stages" "sh $dir/fake_make" "$@"); rc=$?
  got=$(printf '%s\n' "$out" | grep '^make test: ')
  if [ "$rc" != "$want_rc" ] || [ "$got
" != "$want" ]; then
    echo "FAIL: stages $*: status $rc (want $want_rc), summary:"; echo "$got"; fail=1
  fi
}
expect 0 "make test: good: passed" "make test: idle: skipped: nothing here" "make test: passed" -- good idle
# A failure must fail make, and the summary still follows, with the stages after it not run.
expect 1 "make test: good: passed" "make test: bad: FAILED" "make test: good: not run (an earlier stage failed)" \
  "make test: FAILED (bad failed)" -- good bad good
# The stage's own output is shown, not swallowed.
sh "$stages" "sh $dir/fake_make" bad | grep -q '^bad broke$' || { echo "FAIL: a stage's output is lost"; fail=1; }
exit $fail
