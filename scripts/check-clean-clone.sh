#!/usr/bin/env bash
# Checks a commit the way a newcomer meets it: clones it into a fresh folder and runs
# make targets there, so files that exist only in your own tree (a build made by hand, a
# rendered clip, an untracked source) cannot make a target pass.
usage() {
    cat <<'EOF'
usage: scripts/check-clean-clone.sh [--keep] [--dir PARENT] [--logs DIR] [TARGET|NAME=VALUE]...

Clones the current commit (HEAD of the repository this script lives in) into a new
temporary folder and runs the given make targets there, one after the other (default:
test test-sanitize). Uncommitted changes and untracked files are NOT included: commit
first. Arguments NAME=VALUE are passed to every make call (e.g. FUZZ_SECONDS=10, JOBS=2).

Prints one line per target: passed, or failed with make's exit status, and the wall
time. The full output of each target is kept in LOGS/TARGET.log, which stays after the
clone is gone. Exit status 0 when every target passed, 1 when one failed, 2 for a usage
error, 130 when interrupted (Ctrl-C stops the running target and cleans up).

  --keep        keep the clone afterwards (its path is printed), e.g. to look at a build
  --dir PARENT  make the clone inside PARENT (default: $TMPDIR or /tmp)
  --logs DIR    where the logs go (default: a new folder tarlim-clean-logs-* beside the clone)
  -h, --help    this text

Examples:
  scripts/check-clean-clone.sh
  nice -n 10 scripts/check-clean-clone.sh test test-sanitize fuzz FUZZ_SECONDS=10
  scripts/check-clean-clone.sh --keep run
EOF
}
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

keep=0
parent=${TMPDIR:-/tmp}
logs=
targets=()
variables=()
while [[ $# -gt 0 ]]; do
    case $1 in
    --keep) keep=1 ;;
    --dir) parent=${2:?--dir needs a folder}; shift ;;
    --dir=*) parent=${1#--dir=} ;;
    --logs) logs=${2:?--logs needs a folder}; shift ;;
    --logs=*) logs=${1#--logs=} ;;
    -h | --help) usage; exit 0 ;;
    -*) echo "check-clean-clone: unknown option $1" >&2; usage >&2; exit 2 ;;
    *=*) variables+=("$1") ;;
    *) targets+=("$1") ;;
    esac
    shift
done
[[ ${#targets[@]} -gt 0 ]] || targets=(test test-sanitize)
[[ -d $parent ]] || { echo "check-clean-clone: $parent is not a folder" >&2; exit 2; }
parent=$(cd "$parent" && pwd)

commit=$(git -C "$root" rev-parse HEAD)
echo "check-clean-clone: commit $(git -C "$root" log -1 --format='%h %s' "$commit")"
if [[ -n $(git -C "$root" status --porcelain --untracked-files=normal) ]]; then
    echo "check-clean-clone: note: $root has uncommitted changes; they are not part of the check"
fi

clone=$(mktemp -d "$parent/tarlim-clean-clone-XXXXXX")
if [[ -z $logs ]]; then
    logs=$(mktemp -d "$parent/tarlim-clean-logs-XXXXXX")
else
    mkdir -p "$logs"
    logs=$(cd "$logs" && pwd)
fi

running=
cleanup() {
    if [[ -n $running ]] && kill -0 "$running" 2>/dev/null; then
        # make runs in a session of its own (below): end it and everything it started.
        kill -TERM -- "-$running" 2>/dev/null || true
        for _ in $(seq 50); do
            kill -0 "$running" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL -- "-$running" 2>/dev/null || true
    fi
    if [[ $keep -eq 1 ]]; then
        echo "check-clean-clone: clone kept in $clone"
    else
        rm -rf "$clone"
    fi
}
interrupted() {
    trap - INT TERM
    echo
    echo "check-clean-clone: interrupted; logs so far in $logs" >&2
    cleanup
    exit 130
}
trap interrupted INT TERM

# The common repository holds every commit of every worktree, so this works from any
# worktree too; a plain clone's origin points back at it.
git clone --quiet --no-checkout "$(git -C "$root" rev-parse --path-format=absolute --git-common-dir)" "$clone"
git -C "$clone" checkout --quiet --detach "$commit"
echo "check-clean-clone: cloned into $clone; logs in $logs"

failed=0
for target in "${targets[@]}"; do
    log=$logs/$target.log
    start=$(date +%s)
    # A session of its own, so an interrupt can end make with every test, Xvfb server
    # and viewer below it; setsid exec's make here, so $! is the session's leader.
    setsid --wait make -C "$clone" "$target" "${variables[@]}" >"$log" 2>&1 </dev/null &
    running=$!
    status=0
    wait "$running" || status=$?
    running=
    seconds=$(($(date +%s) - start))
    took=$(printf '%dm%02ds' $((seconds / 60)) $((seconds % 60)))
    if [[ $status -eq 0 ]]; then
        printf '%-16s passed            %8s   %s\n' "$target" "$took" "$log"
    else
        printf '%-16s failed (exit %3d) %8s   %s\n' "$target" "$status" "$took" "$log"
        failed=1
    fi
done

trap - INT TERM
cleanup
exit $failed
