#!/usr/bin/env bash
# Builds zelmor and its companion tools and runs the shipped helix example:
# 600 points on a noisy 3-D helix, 30 microclusters. When the example has no
# microcluster file, zelmor-seed chooses the 30 starting centres; after the
# run zelmor-plot draws the result. Everything lands in out/example/ under the
# project root. An optional argument names another example folder holding
# data.txt (and perhaps microclus.txt); ZELMOR_BUILD_DIR overrides the build
# folder (build-example/ under the project root, without tests or benchmarks).
# Missing packages are installed first (scripts/install-deps.sh). The build's
# progress goes to standard error, the run's console output to standard output.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
example="$(cd "${1:-$root/examples/helix}" && pwd)"
build="${ZELMOR_BUILD_DIR:-$root/build-example}"

"$root/scripts/install-deps.sh" example
targets=(zelmor zelmor-plot)
[ -f "$example/microclus.txt" ] || targets+=(zelmor-seed)
echo "Building ${targets[*]} in $build (a minute or two the first time)..." >&2
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DZELMOR_BUILD_TESTS=OFF -DZELMOR_BUILD_BENCH=OFF >/dev/null
if ! grep -q '^ZELMOR_TOOLS:INTERNAL=ON$' "$build/CMakeCache.txt"; then
  echo "CMake did not find CLI11 (Debian: libcli11-dev), so zelmor-plot cannot be built." >&2
  exit 1
fi
cmake --build "$build" -j2 --target "${targets[@]}" >&2

run="$root/out/example"
mkdir -p "$run"
cp "$example/data.txt" "$run/"
clusters=30
dimension=$(awk 'NF { print NF; exit }' "$run/data.txt")
points=$(($(wc -w <"$run/data.txt") / dimension))
cd "$run"
if [ -f "$example/microclus.txt" ]; then
  cp "$example/microclus.txt" "$run/"
else
  "$build/zelmor-seed" data.txt -k "$clusters" -d "$dimension" -o microclus.txt --seed 1
fi

#        datafile  K           d            N         eps_like eps_coshare microclus     MaxLoopNum basedim
"$build/zelmor" data.txt "$clusters" "$dimension" "$points" 0.001 1.0 microclus.txt 10 $((dimension - 1))
echo
echo "Results in $run:"
ls -l "$run"/membership.txt "$run"/output_expand.txt "$run"/output_em.txt 2>/dev/null || true
"$build/zelmor-plot" "$run" -o "$run/plot.svg" --title "zelmor: the $(basename "$example") example" \
  --params "epsilon_likelihood 0.001, epsilon_coshare 1.0, MaxLoopNum 10" >/dev/null
echo
echo "Picture of the run: open $run/plot.svg in a web browser."
