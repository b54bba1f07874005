"""Times a fit of the Python package against the zelmor program and against
scikit-learn's GaussianMixture (full covariances, means_init from the same
centres, the same number of iterations) on one data set, with the peak memory
of each, every one in a process of its own.

    python3 bench/python_compare.py BUILD DATA CENTRES [ITERATIONS]

DATA and CENTRES are text files as zelmor reads them (bench/run.sh leaves
them in its work folder); PYTHONPATH must reach BUILD/python."""

import os
import resource
import subprocess
import sys
import tempfile
import time

import numpy as np


def fit_in_this_process(kind, data, centres, iterations):
    X = np.loadtxt(data, dtype=np.float64).astype(np.float32)
    start_means = np.loadtxt(centres, dtype=np.float64, ndmin=2).astype(np.float32)
    if kind == "zelmor":
        from zelmor import Zelmor
        model = Zelmor(len(start_means), epsilon_likelihood=1e-30, epsilon_coshare=1.0, max_iter=iterations,
                       init=start_means)
    else:
        from sklearn.mixture import GaussianMixture
        # The starting weights and covariances come from random responsibilities
        # rather than a k-means run, whose time would not be the EM's.
        model = GaussianMixture(len(start_means), covariance_type="full", means_init=start_means, tol=0.0,
                                max_iter=iterations, n_init=1, init_params="random_from_data", random_state=0)
    began = time.perf_counter()
    model.fit(X)
    seconds = time.perf_counter() - began
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(f"{kind:8s} fit {seconds:8.2f} s   peak {peak:8.0f} MiB (process, data loading included)")


def main():
    if sys.argv[1] in ("zelmor", "sklearn"):
        fit_in_this_process(sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]))
        return
    build, data, centres = (os.path.abspath(a) for a in sys.argv[1:4])
    iterations = int(sys.argv[4]) if len(sys.argv) > 4 else 10
    K, d = np.loadtxt(centres, ndmin=2).shape
    N = sum(1 for line in open(data) if line.strip())
    with tempfile.TemporaryDirectory() as folder:
        began = time.perf_counter()
        run = subprocess.run(["/usr/bin/time", "-f", "%M", f"{build}/zelmor", data, str(K), str(d), str(N),
                              "1e-30", "1.0", centres, str(iterations), "0"], cwd=folder, capture_output=True,
                             text=True, check=True)
        seconds = time.perf_counter() - began
    peak = int(run.stderr.strip().splitlines()[-1]) / 1024
    print(f"program  run {seconds:8.2f} s   peak {peak:8.0f} MiB (file reading included)")
    for kind in ("zelmor", "sklearn"):
        subprocess.run([sys.executable, __file__, kind, data, centres, str(iterations)], check=True)


if __name__ == "__main__":
    main()
