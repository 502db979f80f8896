#!/bin/sh
# Runs the stages of `make test` one after another, each as `<make> <stage>`, and ends with one line
# per stage (passed, failed, skipped, or not run after a failure) and the overall verdict; exits 1
# when a stage failed. A stage is skipped when it says so itself, with a line "<stage>: skipped...".
#   tools/test_stages.sh <make command> <stage>...
make=$1
shift
dir=$(mktemp -d) || exit 1
trap 'rm -rf "$dir"' EXIT
summary=""
failed=""
for stage in "$@"; do
  if [ -n "$failed" ]; then
    summary="$summary
make test: $stage: not run (an earlier stage failed)"
    continue
  fi
  echo 1 >"$dir/status"
  { $make --no-print-directory "$stage"; echo $? >"$dir/status"; } 2>&1 | tee "$dir/log"
  if [ "$(cat "$dir/status")" != 0 ]; then
    failed=$stage
    result="FAILED"
  elif reason=$(grep -m1 "^$stage: skipped" "$dir/log"); then
    result="skipped${reason#"$stage: skipped"}"
  else
    result="passed"
  fi
  summary="$summary
make test: $stage: $result"
done
echo
echo "${summary#?}"
if [ -n "$failed" ]; then
  echo "make test: FAILED ($failed failed)"
  exit 1
fi
echo "make test: passed"
