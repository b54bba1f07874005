"""Tests of the Python package: the same numbers as the zelmor program, the
estimator conventions, the methods on new points and every error path.

ctest runs them with PYTHONPATH at the built package and ZELMOR_BINARY,
ZELMOR_SEED_BINARY and ZELMOR_TEST_DATA set; without NumPy they are skipped."""

import os
import signal
import subprocess
import threading
import time
from pathlib import Path

import pytest

np = pytest.importorskip("numpy")
zelmor = pytest.importorskip("zelmor")
from zelmor import LowCoverageError, NotFittedError, Zelmor  # noqa: E402

GOLDEN = Path(os.environ.get("ZELMOR_TEST_DATA", Path(__file__).parents[1] / "data")) / "golden"
BINARY = os.environ.get("ZELMOR_BINARY")
SEED_BINARY = os.environ.get("ZELMOR_SEED_BINARY")


def golden_case(name):
    """The case's points and centres as float32, and its settings."""
    args = (GOLDEN / name / "args.txt").read_text().split()
    K, d = int(args[1]), int(args[2])
    X = np.loadtxt(GOLDEN / name / "data.txt", dtype=np.float64, ndmin=2).astype(np.float32)
    centres = np.loadtxt(GOLDEN / name / "microclus.txt", dtype=np.float64, ndmin=2).astype(np.float32)
    settings = dict(n_microclusters=K, epsilon_likelihood=float(args[4]), epsilon_coshare=float(args[5]),
                    max_iter=int(args[7]), basedim=int(args[8]), init=centres.reshape(-1)[:K * d].reshape(K, d))
    return X.reshape(-1, d), settings


def write_points(path, X):
    np.savetxt(path, X, fmt="%.9g")  # nine digits give back every float32 exactly


def run_program(folder, X, settings):
    """Runs zelmor on text files holding X and the centres; returns its three files."""
    write_points(folder / "data.txt", X)
    write_points(folder / "microclus.txt", settings["init"])
    K, d = settings["init"].shape
    args = ["data.txt", K, d, len(X), repr(settings["epsilon_likelihood"]), repr(settings["epsilon_coshare"]),
            "microclus.txt", settings["max_iter"], settings["basedim"]]
    subprocess.run([BINARY, *map(str, args)], cwd=folder, check=True, capture_output=True)
    return [(folder / f).read_text() for f in ("membership.txt", "output_expand.txt", "output_em.txt")]


def attributes(model):
    names = ["means_", "covariances_", "weights_", "log_likelihood_", "labels_", "co_sharing_", "expansion_order_",
             "joining_levels_", "chain_labels_", "orientation_vectors_", "n_iter_", "converged_", "coverage_"]
    return {name: getattr(model, name) for name in names}


def assert_same_attributes(a, b):
    for name, value in attributes(a).items():
        np.testing.assert_array_equal(value, getattr(b, name), err_msg=name)


CASES = ["blobs_d2_k6", "blobs_d8", "helix_d3", "k1_d1", "maxloop1", "tiny_n10_k3", "vanishing_weight"]


@pytest.mark.skipif(not BINARY, reason="ZELMOR_BINARY not set")
@pytest.mark.parametrize("case", CASES)
def test_same_numbers_as_the_program(case, tmp_path):
    X, settings = golden_case(case)
    membership, expand, em = run_program(tmp_path, X, settings)
    model = Zelmor(**settings).fit(X)

    assert membership == "".join(f"{label}\n" for label in model.labels_)
    K, d = model.means_.shape
    expected = "".join(f"{level:f} {k} " + "".join(f"{v:f} " for v in model.orientation_vectors_[k].ravel()) + "\n"
                       for level, k in zip(model.joining_levels_, model.expansion_order_))
    assert expand == expected
    for line, k in zip(em.splitlines()[-K:], model.expansion_order_):
        values = line.split()
        assert values[:d] == [f"{m:f}" for m in model.means_[k]] and values[-1] == str(k)
    assert sum(len(c) for c in model.chains_) == K and model.n_iter_ == len(model.log_likelihood_)

    # The same file streamed, other kernels and thread counts, float64 input: the same attributes.
    assert_same_attributes(Zelmor(**settings).fit_file(tmp_path / "data.txt", d), model)
    for variant in (dict(kernels="plain"), dict(n_threads=1), dict(n_threads=3)):
        assert_same_attributes(Zelmor(**settings, **variant).fit(X), model)
    assert_same_attributes(Zelmor(**settings).fit(X.astype(np.float64)), model)


@pytest.mark.skipif(not SEED_BINARY, reason="ZELMOR_SEED_BINARY not set")
@pytest.mark.parametrize("method", ["kmeans++", "uniform"])
def test_seeding_as_zelmor_seed(method, tmp_path):
    X, _ = golden_case("helix_d3")
    write_points(tmp_path / "data.txt", X)
    subprocess.run([SEED_BINARY, "data.txt", "-k", "30", "-d", "3", "-o", "centres.txt", "--seed", "11",
                    "--method", method], cwd=tmp_path, check=True, capture_output=True)
    expected = np.loadtxt(tmp_path / "centres.txt", dtype=np.float32)
    for fitted in (Zelmor(30, init=method, random_state=11).fit(X),
                   Zelmor(30, init=method, random_state=11).fit_file(tmp_path / "data.txt", 3)):
        np.testing.assert_array_equal(fitted.initial_means_, expected)


def test_methods_on_new_points():
    X, settings = golden_case("blobs_d2_k6")
    model = Zelmor(**settings).fit(X)
    new = np.vstack([X[:50] + 0.05, [[1e6, 1e6]]])
    proba = model.predict_proba(new)
    sums = proba.sum(axis=1, dtype=np.float64)
    assert np.all((np.abs(sums - 1) < 1e-5) | ((sums == 0) & np.all(proba == 0, axis=1)))
    labels = model.predict(new)
    assert labels[-1] == -1 and model.score_samples(new)[-1] == -np.inf and model.predict_chain(new)[-1] == -1
    reached = labels >= 0
    assert np.all(proba[reached, labels[reached]] == proba[reached].max(axis=1))
    assert np.array_equal(model.predict_chain(new)[reached], model._chain_of[labels[reached]])
    assert np.isfinite(model.bic(X)) and model.bic(new) == np.inf
    # Scoring does not depend on the thread count.
    one = Zelmor(**settings, n_threads=1).fit(X)
    np.testing.assert_array_equal(one.predict_proba(new), proba)


def test_estimator_conventions():
    model = Zelmor(7, epsilon_coshare=0.25, init="uniform", random_state=3)
    params = model.get_params()
    assert params["n_microclusters"] == 7 and params["epsilon_coshare"] == 0.25 and params["init"] == "uniform"
    assert model.set_params(max_iter=3) is model and model.max_iter == 3
    with pytest.raises(ValueError, match="invalid parameter"):
        model.set_params(n_components=3)
    X, _ = golden_case("blobs_d2_k6")
    assert model.fit(X) is model and model.n_features_in_ == 2
    with pytest.raises(NotFittedError):
        Zelmor().predict(X)


def test_clone_and_pipeline():
    sklearn = pytest.importorskip("sklearn")
    from sklearn.base import clone
    from sklearn.pipeline import make_pipeline
    from sklearn.preprocessing import StandardScaler

    X, _ = golden_case("helix_d3")
    model = Zelmor(20, random_state=0, max_iter=5)
    copy = clone(model)
    assert copy is not model and copy.get_params() == model.get_params()
    raw = X * 1000 + 50  # in units that the fit alone does not cover
    scaled = StandardScaler().fit_transform(raw)
    pipeline = make_pipeline(StandardScaler(), clone(model)).fit(raw)
    np.testing.assert_array_equal(pipeline.predict(raw), clone(model).fit(scaled).predict(scaled))
    assert sklearn.__version__


ERRORS = [  # constructor settings, data, exception, message
    (dict(n_microclusters=0), None, ValueError, "n_microclusters"),
    (dict(n_microclusters=500), None, ValueError, ""),
    (dict(basedim=3), None, ValueError, "basedim"),
    (dict(kernels="gpu"), None, ValueError, "kernels"),
    (dict(init="random"), None, ValueError, "init"),
    (dict(init=np.zeros((5, 3))), None, ValueError, "shape"),
    (dict(epsilon_coshare=float("nan")), None, ValueError, "epsilon_coshare"),
    (dict(random_state=-1), None, ValueError, "random_state"),
    ({}, [[0.0, np.inf, 1.0]] * 20, ValueError, "finite"),
    ({}, np.ones(20), ValueError, "2-d"),
    ({}, [["a", "b", "c"]] * 20, ValueError, "real numbers"),
]


@pytest.mark.parametrize("settings, data, error, message", ERRORS)
def test_errors(settings, data, error, message):
    X = np.random.default_rng(0).normal(size=(200, 3)) if data is None else data
    with pytest.raises(error, match=message):
        Zelmor(**{"n_microclusters": 4, "random_state": 0, **settings}).fit(X)


def test_file_and_coverage_errors(tmp_path):
    model = Zelmor(3, random_state=0)
    with pytest.raises(OSError):
        model.fit_file(tmp_path / "missing.txt", 2)
    (tmp_path / "bad.txt").write_text("1 2\n3 x\n")
    with pytest.raises(OSError, match="bad.txt"):
        model.fit_file(tmp_path / "bad.txt", 2)
    X, settings = golden_case("low_coverage")
    with pytest.raises(LowCoverageError) as low:
        Zelmor(**settings).fit(X)
    assert isinstance(low.value, ValueError) and 0 <= low.value.coverage < 0.95 * len(X)
    assert "95%" in str(low.value)


@pytest.mark.skipif(threading.current_thread() is not threading.main_thread(), reason="signals need the main thread")
def test_interrupt_stops_the_fit_promptly():
    X = np.random.default_rng(1).normal(size=(200_000, 4)).astype(np.float32)
    model = Zelmor(40, epsilon_likelihood=-1.0, max_iter=100_000, random_state=0)
    sent = []

    def interrupt():
        time.sleep(1.0)
        sent.append(time.monotonic())
        os.kill(os.getpid(), signal.SIGINT)

    threading.Thread(target=interrupt, daemon=True).start()
    with pytest.raises(KeyboardInterrupt):
        model.fit(X)
    assert time.monotonic() - sent[0] < 2.0
    assert not hasattr(model, "means_")
    assert Zelmor(3, random_state=0).fit(X[:300]).n_iter_ > 0  # the interpreter goes on


@pytest.mark.parametrize("case", ["grid_ties_maxloop1", "maxloop1"])
def test_predict_follows_the_first_e_step(case):
    # After one iteration labels_ holds the first E-step's choice, made with the
    # starting means and unit covariances: predict under those must agree.
    X, settings = golden_case(case)
    model = Zelmor(**{**settings, "max_iter": 1}).fit(X)
    K, d = model.means_.shape
    model.means_ = model.initial_means_
    model._packed_covariances = np.tile(np.eye(d, dtype=np.float32)[np.tril_indices(d)], (K, 1))
    model.n_iter_ = 0
    np.testing.assert_array_equal(model.predict(X), model.labels_)
