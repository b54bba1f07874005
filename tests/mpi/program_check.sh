#!/bin/bash
# zelmor-mpi under mpirun against zelmor, as programs: console output (timer
# lines masked), exit status and the three files (or their absence) on a good
# run, on data files damaged in the last ranks' range, and on a run the first
# rank refuses before it starts.
# usage: program_check.sh ZELMOR ZELMOR_MPI MPIEXEC RANKS GOLDEN_CASE_DIR
set -u
zelmor=$1 zelmorMpi=$2 mpiexec=$3 ranks=$4 case=$5
work=$(mktemp -d)
[ -n "${KEEP:-}" ] || trap 'rm -rf "$work"' EXIT
mapfile -t args <"$case/args.txt"
failures=0

mask() { sed -E 's/^(start|end) time: .*/\1 time: <masked>/; s/^-?[0-9.]+ sec cpu,   -?[0-9.]+ sec real$/<masked>/'; }

# run DIR PROGRAM...: runs in DIR, leaves console.txt and status.txt there.
run() {
  local dir=$1
  shift
  (cd "$dir" && "$@" 2>/dev/null </dev/null | mask >console.txt; echo "${PIPESTATUS[0]}" >status.txt)
}

# check NAME DATA_SETUP ARGS...: both programs on a copy of the case.
check() {
  local name=$1 setup=$2
  shift 2
  for side in lone shared; do
    mkdir -p "$work/$name/$side"
    cp "$case/data.txt" "$case/microclus.txt" "$work/$name/$side/"
    (cd "$work/$name/$side" && eval "$setup")
  done
  run "$work/$name/lone" "$zelmor" "$@"
  run "$work/$name/shared" "$mpiexec" --oversubscribe -n "$ranks" "$zelmorMpi" "$@"
  for f in console.txt status.txt membership.txt output_expand.txt output_em.txt; do
    local a="$work/$name/lone/$f" b="$work/$name/shared/$f"
    if [ -e "$a" ] && [ -e "$b" ] && cmp -s "$a" "$b"; then continue; fi
    [ -e "$a" ] || [ -e "$b" ] || continue
    echo "DIFFERENT: $name: $f"
    failures=$((failures + 1))
  done
  if [ -e "$work/$name/shared/output_em.txt" ] && [ "$(cat "$work/$name/lone/status.txt")" != 0 ]; then
    echo "DIFFERENT: $name: a failed run left output files"
    failures=$((failures + 1))
  fi
}

check good : "${args[@]}"
# Half the file: the last ranks find their ranges short.
check short 'head -c $(( $(wc -c <data.txt) / 2 )) data.txt >d && mv d data.txt' "${args[@]}"
# A token that is no number in the last point.
check bad_token 'sed -i "\$ s/[^ ]*\$/x1/" data.txt' "${args[@]}"
# The data file is an output: the first rank refuses before the run starts.
check refused 'cp data.txt membership.txt' membership.txt "${args[@]:1}"
echo "$ranks ranks: $failures differences"
[ "$failures" = 0 ]
