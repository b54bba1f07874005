#!/usr/bin/env bash
# CI hardening stage, after the address/undefined-behaviour test run:
#   tsan      the whole test suite under the thread sanitizer (build-tsan);
#   fuzz      each libFuzzer target for FUZZ_SECONDS (default 60) from a copy
#             of its seed corpus in tests/fuzz/corpus, seed 1 (build-fuzz);
#   memcheck  valgrind on one end-to-end run of build/zelmor.
# HARDENING_STAGES picks stages (default "tsan fuzz memcheck").
# A longer fuzzing run of one target, by hand (new inputs go to the temporary
# folder, the seeds are only read):
#   build-fuzz/tests/fuzz/fuzz_data_reader -max_total_time=3600 -timeout=10 \
#       "$(mktemp -d)" tests/fuzz/corpus/data_reader
set -euo pipefail
cd "$(dirname "$0")/.."

STAGES=" ${HARDENING_STAGES:-tsan fuzz memcheck} "
FUZZ_SECONDS=${FUZZ_SECONDS:-60}
FUZZ_TARGETS=(microclus_reader data_reader expansion_readback packed_matrix)

need=()
command -v clang++ >/dev/null || need+=(clang)
compgen -G "/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a" >/dev/null ||
  need+=(libclang-rt-dev)
command -v valgrind >/dev/null || need+=(valgrind)
if [ ${#need[@]} -gt 0 ]; then
  echo "installing: ${need[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}"
fi

started=$SECONDS
stamp() { echo "   ($((SECONDS - started)) s so far)"; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

stage_tsan() {
  echo "== tests under the thread sanitizer"
  cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELMOR_SANITIZE_THREAD=ON >/dev/null
  cmake --build build-tsan -j2
  # Some kernels randomise mappings beyond what the runtime expects; without
  # address randomisation it starts everywhere.
  local run=()
  if command -v setarch >/dev/null && setarch "$(uname -m)" -R true 2>/dev/null; then
    run=(setarch "$(uname -m)" -R)
  fi
  TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1" "${run[@]}" ctest --test-dir build-tsan --output-on-failure
}

fuzz_one() {
  local target=$1
  mkdir -p "$work/$target/corpus" "$work/$target/artifacts"
  cp tests/fuzz/corpus/"$target"/* "$work/$target/corpus/"
  if build-fuzz/tests/fuzz/fuzz_"$target" "$work/$target/corpus" -seed=1 -max_total_time="$FUZZ_SECONDS" \
    -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$work/$target/artifacts/" \
    >"$work/$target/log" 2>&1; then
    echo "fuzz_$target: $(awk '/^stat::number_of_executed_units/ {print $2}' "$work/$target/log") runs, no failure"
  else
    echo "fuzz_$target FAILED; the input that broke it:"
    ls "$work/$target/artifacts"
    tail -n 40 "$work/$target/log"
    return 1
  fi
}

stage_fuzz() {
  echo "== fuzzing, ${FUZZ_SECONDS} s per target"
  CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELMOR_FUZZ=ON -DZELMOR_SANITIZE=ON \
    -DZELMOR_BUILD_TESTS=OFF >/dev/null
  cmake --build build-fuzz -j2 --target "${FUZZ_TARGETS[@]/#/fuzz_}"
  # Two targets at a time on the two cores.
  local status=0 i target pid pids
  for ((i = 0; i < ${#FUZZ_TARGETS[@]}; i += 2)); do
    pids=()
    for target in "${FUZZ_TARGETS[@]:i:2}"; do
      fuzz_one "$target" &
      pids+=($!)
    done
    for pid in "${pids[@]}"; do wait "$pid" || status=1; done
  done
  return $status
}

stage_memcheck() {
  echo "== valgrind memcheck on one whole run"
  local case_dir=tests/data/golden/k2_d2
  local run_dir="$work/memcheck"
  mkdir -p "$run_dir"
  cp "$case_dir/data.txt" "$case_dir/microclus.txt" "$run_dir/"
  local args
  mapfile -t args <"$case_dir/args.txt"
  if [ ! -x build/zelmor ]; then
    cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null && cmake --build build -j2 --target zelmor
  fi
  local zelmor
  zelmor=$(pwd)/build/zelmor
  (cd "$run_dir" && valgrind --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite,indirect \
    --quiet "$zelmor" "${args[@]}" >stdout.txt)
  local name
  for name in membership.txt output_expand.txt output_em.txt; do
    cmp "$run_dir/$name" "$case_dir/expected/$name"
  done
  echo "memcheck: no errors, no leaks, outputs as stored"
}

for stage in tsan fuzz memcheck; do
  if [[ $STAGES == *" $stage "* ]]; then
    "stage_$stage"
    stamp
  fi
done
