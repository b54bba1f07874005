#!/usr/bin/env bash
# Builds zelmor (if needed) and runs it on the shipped helix example: 600 points
# on a noisy 3-D helix, 30 starting microclusters. The outputs land in
# out/example/ under the project root.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target zelmor >/dev/null
run="$root/out/example"
mkdir -p "$run"
cp "$root/examples/helix/data.txt" "$root/examples/helix/microclus.txt" "$run/"
cd "$run"
#        datafile  K  d  N   eps_like eps_coshare microclus     MaxLoopNum basedim
"$build/zelmor" data.txt 30 3 600 0.001 1.0 microclus.txt 10 2
echo
echo "Results in $run:"
ls -l "$run"/membership.txt "$run"/output_expand.txt "$run"/output_em.txt 2>/dev/null || true
