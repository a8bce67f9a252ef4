#!/usr/bin/env bash
# scripts/check-clean-clone.sh on cheap targets: one that passes (deps) and one that
# fails (a target that does not exist). Checks the status lines, the exit status, the
# kept logs, that the clone holds this tree's HEAD and that it is removed unless kept.
#   tests/check-clean-clone-test.sh SOURCE_DIR
set -uo pipefail
root=${1:?usage: tests/check-clean-clone-test.sh SOURCE_DIR}
script=$root/scripts/check-clean-clone.sh
if ! git -C "$root" rev-parse --verify -q HEAD >/dev/null; then
    echo "not a git checkout: nothing to clone"
    exit 77
fi
work=$(mktemp -d /tmp/tarlim-clean-clone-test-XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }

mkdir "$work/parent"
out=$("$script" --dir "$work/parent" --logs "$work/logs" deps no-such-target 2>&1)
status=$?
echo "$out"
[[ $status -eq 1 ]] || fail "a failing target gave exit status $status, not 1"
grep -Eq '^deps +passed +[0-9]+m[0-9]{2}s ' <<<"$out" || fail "no 'deps passed' line with a time"
grep -Eq '^no-such-target +failed \(exit +2\) +[0-9]+m[0-9]{2}s ' <<<"$out" ||
    fail "no 'no-such-target failed (exit 2)' line with a time"
[[ -s $work/logs/deps.log && -s $work/logs/no-such-target.log ]] || fail "a target's log is missing or empty"
grep -q 'No rule to make target' "$work/logs/no-such-target.log" || fail "the failing target's log lacks make's reason"
left=$(find "$work/parent" -mindepth 1 -maxdepth 1 -name 'tarlim-clean-clone-*')
[[ -z $left ]] || fail "the clone was not removed: $left"

out=$("$script" --keep --dir "$work/parent" --logs "$work/logs2" deps 2>&1)
status=$?
echo "$out"
[[ $status -eq 0 ]] || fail "a passing target gave exit status $status, not 0"
clone=$(find "$work/parent" -mindepth 1 -maxdepth 1 -name 'tarlim-clean-clone-*')
if [[ -d $clone ]]; then
    [[ $(git -C "$clone" rev-parse HEAD) == $(git -C "$root" rev-parse HEAD) ]] ||
        fail "the clone is not at this tree's HEAD"
    [[ -z $(git -C "$clone" status --porcelain) ]] || fail "the kept clone is not clean"
else
    fail "--keep did not keep the clone"
fi

"$script" --no-such-option >/dev/null 2>&1
status=$?
[[ $status -eq 2 ]] || fail "an unknown option gave exit status $status, not 2"

[[ $failures -eq 0 ]] && echo "check-clean-clone: all checks passed"
exit $((failures > 0))
