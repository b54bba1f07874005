#!/usr/bin/env bash
# End-to-end benchmark: builds the plain reference configuration (scalar
# kernels, one thread) and the fast one, runs both on three data sets of noisy
# curves, checks that every output file and the console output (timer lines
# aside) are the same bytes, and prints wall time, seconds per EM iteration and
# peak memory of both, with their ratios.
#
#   bench/run.sh [small|medium|large|std-small|std-medium|std-large ...]
#                                        (default: all six)
#
# The std- sets are the same points z-scored column by column (zelmor-seed
# --standardize), as an analyst would feed them: there the skip bounds prove
# far fewer densities zero than on the scaled sets.
#
# Each timed configuration runs REPEAT times (default 3; the large plain run
# once, LARGE_PLAIN_REPEAT to change that), the two taking turns, and the
# fastest run of each is reported: other work on the machine only ever adds
# time.
#
# Needs the companion tools zelmor-gen and zelmor-seed (Debian: libcli11-dev)
# and GNU time (Debian: time). Work files go to out/bench/ (about 200 MB for
# the large set). The large plain run takes several minutes.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
work="$root/out/bench"
plainBuild="$root/build-bench/plain"
fastBuild="$root/build-bench/fast"
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(small medium large std-small std-medium std-large)

for tool in /usr/bin/time; do
  [ -x "$tool" ] || { echo "bench: $tool is missing (Debian: apt-get install time)" >&2; exit 1; }
done

echo "== building the plain and the fast configuration"
cmake -S "$root" -B "$plainBuild" -DCMAKE_BUILD_TYPE=Release -DZELMOR_PLAIN=ON -DZELMOR_BUILD_TESTS=OFF \
  -DZELMOR_BUILD_BENCH=OFF >/dev/null
cmake --build "$plainBuild" -j2 --target zelmor >/dev/null
cmake -S "$root" -B "$fastBuild" -DCMAKE_BUILD_TYPE=Release -DZELMOR_BUILD_TESTS=OFF -DZELMOR_BUILD_BENCH=OFF >/dev/null
cmake --build "$fastBuild" -j2 --target zelmor zelmor-gen zelmor-seed >/dev/null
[ -x "$fastBuild/zelmor-gen" ] || { echo "bench: zelmor-gen was not built (it needs libcli11-dev)" >&2; exit 1; }

# Runs one configuration in its own folder; prints "wall seconds-per-iteration
# peak-KiB" and leaves the files and the masked console output behind.
run_one() {
  local binary=$1 dir=$2 threads=$3
  shift 3
  mkdir -p "$dir"
  cp "$work/$size/data.txt" "$work/$size/microclus.txt" "$dir/"
  (
    cd "$dir"
    OMP_NUM_THREADS=$threads /usr/bin/time -f "%e %M" -o time.txt "$binary" "$@" 2>stderr.txt |
      while IFS= read -r line; do printf '%s %s\n' "$(date +%s.%N)" "$line"; done >stamped.txt
  )
  sed -E 's/^[0-9.]+ //' "$dir/stamped.txt" |
    sed -E 's/^(start|end) time: .*/\1 time: <masked>/; s/^-?[0-9.]+ sec cpu,   -?[0-9.]+ sec real$/<masked>/' \
      >"$dir/console.txt"
  # Seconds per iteration: from the first iteration line to the coverage line.
  local perIteration
  perIteration=$(awk '/ 1th iteration/ { first = $1 } /th iteration/ { n++ } / Data Coverage/ { last = $1 }
                      END { if (n > 0 && last > first) printf "%.3f", (last - first) / n; else print "-" }' \
    "$dir/stamped.txt")
  read -r wall peak <"$dir/time.txt"
  echo "$wall $perIteration $peak"
}

# Of two run_one lines (the first may be empty), the one of the faster run.
faster() {
  if [ -z "$1" ] || awk -v a="${2%% *}" -v b="${1%% *}" 'BEGIN { exit !(a < b) }'; then echo "$2"; else echo "$1"; fi
}

same_outputs() {
  local a=$1 b=$2
  for f in membership.txt output_expand.txt output_em.txt console.txt; do
    cmp -s "$a/$f" "$b/$f" || { echo "DIFFERENT: $f ($a vs $b)"; return 1; }
  done
}

printf '\n%-10s %-6s %9s %9s %10s   %s\n' size config wall_s s/iter peak_MiB "files"
status=0
for size in "${sizes[@]}"; do
  base=${size#std-}
  case $base in
    small) N=20000 d=4 K=50 ;;
    medium) N=200000 d=8 K=100 ;;
    large) N=1000000 d=8 K=200 ;;
    *) echo "bench: unknown size $size" >&2; exit 2 ;;
  esac
  mkdir -p "$work/$size"
  if [ ! -f "$work/$size/microclus.txt" ]; then
    # Helices, sine waves and arcs turned into all d dimensions, a little
    # Gaussian noise and a few uniform background points, sized so that a
    # microcluster is local against the unit covariances the fit starts from.
    raw="$work/$size/data.txt"
    [ "$size" = "$base" ] || raw="$work/$size/raw.txt"
    "$fastBuild/zelmor-gen" -o "$raw" -n $N -d $d --shape helix,sine,circle --noise 0.02 \
      --background 0.002 --rotate --scale 20 --seed 2026 >/dev/null
    standardize=()
    [ "$size" = "$base" ] || standardize=(--standardize "$work/$size/data.txt")
    "$fastBuild/zelmor-seed" "$raw" -k $K -d $d -o "$work/$size/microclus.txt" --seed 7 "${standardize[@]}" \
      >/dev/null 2>&1
    [ "$size" = "$base" ] || rm -f "$raw"
  fi
  # Ten iterations always: a convergence threshold no change falls below.
  args=(data.txt $K $d $N 1e-30 1.0 microclus.txt 10 0)
  repeat=${REPEAT:-3}
  plainRepeat=$repeat
  [ "$base" = large ] && plainRepeat=${LARGE_PLAIN_REPEAT:-1}
  fastThreads=${OMP_NUM_THREADS:-$(nproc)}
  # The two configurations take turns, so that a slow spell of the machine
  # falls on both alike; each reports its fastest run.
  plainBest="" fastBest=""
  for ((i = 0; i < repeat || i < plainRepeat; i++)); do
    if ((i < plainRepeat)); then
      plainBest=$(faster "$plainBest" "$(run_one "$plainBuild/zelmor" "$work/$size/plain" 1 "${args[@]}")")
    fi
    if ((i < repeat)); then
      fastBest=$(faster "$fastBest" "$(run_one "$fastBuild/zelmor" "$work/$size/fast" "$fastThreads" "${args[@]}")")
    fi
  done
  read -r plainWall plainIter plainPeak <<<"$plainBest"
  read -r fastWall fastIter fastPeak <<<"$fastBest"
  verdict="identical"
  same_outputs "$work/$size/plain" "$work/$size/fast" || { verdict="DIFFERENT"; status=1; }
  for threads in 1 7; do
    run_one "$fastBuild/zelmor" "$work/$size/fast-$threads" $threads "${args[@]}" >/dev/null
    same_outputs "$work/$size/plain" "$work/$size/fast-$threads" || { verdict="DIFFERENT"; status=1; }
  done
  [ "$verdict" = identical ] && verdict="identical (threads 1, $fastThreads, 7)"
  awk -v size="$size" -v pw="$plainWall" -v pi="$plainIter" -v pm="$plainPeak" -v fw="$fastWall" -v fi="$fastIter" \
    -v fm="$fastPeak" -v verdict="$verdict" 'BEGIN {
      printf "%-10s %-6s %9.2f %9s %10.1f\n", size, "plain", pw, pi, pm / 1024
      printf "%-10s %-6s %9.2f %9s %10.1f   %s\n", size, "fast", fw, fi, fm / 1024, verdict
      printf "%-10s %-6s %8.1fx %8sx %9.2fx\n", size, "ratio", pw / fw,
        (pi != "-" && fi != "-" && fi > 0) ? sprintf("%.1f", pi / fi) : "-", fm / pm
    }'
done
exit $status
