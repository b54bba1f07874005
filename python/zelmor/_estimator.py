"""The Zelmor estimator."""

import inspect
import math

import numpy as np

from . import _zelmor
from ._errors import NotFittedError

_MAX_COUNT = 32767  # microclusters and dimensions
_MAX_INT32 = 2147483647


def _as_points(X, name="X"):
    """X as C-contiguous float32 of shape (N, d), converted once."""
    array = np.asarray(X)
    if array.dtype.kind not in "biuf":
        raise ValueError(f"{name} must hold real numbers, not {array.dtype}")
    if array.ndim != 2:
        raise ValueError(f"{name} must be a 2-d array (points x dimensions), not {array.ndim}-d")
    points = np.ascontiguousarray(array, dtype=np.float32)
    if points.size and not np.isfinite(points).all():
        raise ValueError(f"{name} holds a value that is not a finite 32-bit float")
    return points


def _whole(value, name, low, high):
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or not low <= value <= high:
        raise ValueError(f"{name} must be a whole number in the range [{low},{high}], not {value!r}")
    return int(value)


def _real(value, name):
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise ValueError(f"{name} must be a real number, not {value!r}")
    if not np.isfinite(np.float32(value)):
        raise ValueError(f"{name} must be a finite number that a 32-bit float holds, not {value!r}")
    return float(value)


def _seed(random_state):
    """A 64-bit seed for the seeding code, from None, an int or a NumPy generator."""
    if random_state is None:
        return _zelmor.fresh_seed()
    if isinstance(random_state, (int, np.integer)) and not isinstance(random_state, bool):
        if random_state < 0:
            raise ValueError(f"random_state must not be negative, not {random_state}")
        return int(random_state) % 2**64
    if isinstance(random_state, np.random.RandomState):
        return int(random_state.randint(0, 2**63, dtype=np.int64))
    if isinstance(random_state, np.random.Generator):
        return int(random_state.integers(0, 2**63))
    raise ValueError(f"random_state must be None, an int or a NumPy random generator, not {random_state!r}")


def _unpack(packed, d):
    """(K, d(d+1)/2) lower triangles by rows -> (K, d, d) symmetric matrices."""
    rows, cols = np.tril_indices(d)
    full = np.zeros((packed.shape[0], d, d), dtype=packed.dtype)
    full[:, rows, cols] = packed
    full[:, cols, rows] = packed
    return full


def _pack(full):
    rows, cols = np.tril_indices(full.shape[1])
    return np.ascontiguousarray(full[:, rows, cols], dtype=np.float32)


class Zelmor:
    """Gaussian microclusters fitted by EM and ordered into chains.

    Fits ``n_microclusters`` Gaussian microclusters (a mean and a full
    covariance each) to the points by expectation-maximisation, measures how
    strongly every pair of microclusters shares the same points (the
    co-sharing level), and orders the microclusters into chains by a greedy
    expansion over those levels. The chains are the clusters of the data.
    The settings mean what the arguments of the ``zelmor`` program mean, and
    a fit gives the same numbers as the program on a text file holding the
    same float32 values with the same starting centres.

    Every fit starts from unit covariances, and a density counts as zero
    once its quadratic form passes a fixed cut-off: standardise the columns
    first (for example with ``sklearn.preprocessing.StandardScaler``).

    Parameters
    ----------
    n_microclusters : int, default=100
        K, the number of microclusters (1 to 32767).
    epsilon_likelihood : float, default=1e-3
        The EM loop stops once the log-likelihood changes by no more than this.
    epsilon_coshare : float, default=1.0
        A microcluster joins a chain only with a co-sharing level above this.
    max_iter : int, default=20
        The most EM iterations to run (MaxLoopNum).
    basedim : int, default=0
        The component (0 to d-1) of every orientation vector that is kept
        non-negative.
    init : {"kmeans++", "uniform"} or array-like of shape (n_microclusters, n_features), default="kmeans++"
        The starting centres: chosen among the points by the seeding code of
        ``zelmor-seed`` (``--method kmeans++`` or ``--method uniform``), or
        given.
    random_state : None, int, numpy.random.RandomState or numpy.random.Generator, default=None
        The seed of the choice of starting centres; an int gives the centres
        that ``zelmor-seed --seed`` gives. None draws a fresh seed.
    n_threads : int, default=0
        Worker threads of the fast kernels and of scoring; 0 takes one per
        hardware thread. Results do not depend on it.
    kernels : {"fast", "plain"}, default="fast"
        The parallel kernels, or the plain reference kernels on one thread;
        both give the same numbers.

    Attributes
    ----------
    initial_means_ : ndarray of shape (n_microclusters, n_features), float32
        The starting centres of the fit.
    means_ : ndarray of shape (n_microclusters, n_features), float32
        The means as the last M-step left them.
    covariances_ : ndarray of shape (n_microclusters, n_features, n_features), float32
        The covariances as the last M-step left them.
    weights_ : ndarray of shape (n_microclusters,)
        The responsibility sums of the last E-step, divided by their total.
        The density rule does not weight the microclusters by them.
    log_likelihood_ : ndarray of shape (n_iter_,)
        The log-likelihood of every iteration, as the program reports it.
    n_iter_ : int
        EM iterations run.
    converged_ : bool
        Whether the loop ended on the ``epsilon_likelihood`` test rather
        than at ``max_iter``.
    coverage_ : float
        The expected number of points the microclusters account for.
    labels_ : ndarray of shape (n_samples,), int32
        Every point's most probable microcluster by the last E-step, -1 where
        none reaches it: the lines of ``membership.txt``.
    co_sharing_ : ndarray of shape (n_microclusters, n_microclusters), float32
        The co-sharing levels, symmetric; the diagonal is zero.
    expansion_order_ : ndarray of shape (n_microclusters,), int32
        The microclusters in the order the expansion placed them.
    joining_levels_ : ndarray of shape (n_microclusters,), float32
        By placement, the level at which each joined its chain; -1 for the
        first of a chain.
    chains_ : list of ndarray
        The microclusters of every chain, in expansion order.
    chain_labels_ : ndarray of shape (n_samples,), int32
        Every point's chain (the chain of ``labels_``), -1 where unassigned.
    orientation_vectors_ : ndarray of shape (n_microclusters, n_features, n_features), float64
        Every microcluster's orientation vectors (unit eigenvectors of its
        covariance, component ``basedim`` non-negative) times 255, vector by
        vector, the principal axis last: the numbers of ``output_expand.txt``.
    n_features_in_ : int
        d, the number of values per point.

    Notes
    -----
    ``labels_`` can differ from ``predict(X)`` on the training points.
    ``labels_`` comes from the responsibilities of the last E-step, which
    were computed with the parameters before the last M-step; ``predict``
    scores with the final parameters, the ones in ``means_`` and
    ``covariances_``. The log-densities of ``score_samples`` add the
    densities in microcluster order, where the E-step adds them in the order
    of each point's first responsibilities, so the last bits can differ too.
    """

    def __init__(self, n_microclusters=100, *, epsilon_likelihood=1e-3, epsilon_coshare=1.0, max_iter=20,
                 basedim=0, init="kmeans++", random_state=None, n_threads=0, kernels="fast"):
        self.n_microclusters = n_microclusters
        self.epsilon_likelihood = epsilon_likelihood
        self.epsilon_coshare = epsilon_coshare
        self.max_iter = max_iter
        self.basedim = basedim
        self.init = init
        self.random_state = random_state
        self.n_threads = n_threads
        self.kernels = kernels

    # -- parameters ------------------------------------------------------

    @classmethod
    def _param_names(cls):
        signature = inspect.signature(cls.__init__)
        return sorted(p.name for p in signature.parameters.values() if p.name != "self")

    def get_params(self, deep=True):
        """Get the parameters of this estimator.

        Parameters
        ----------
        deep : bool, default=True
            Ignored: no parameter is an estimator.

        Returns
        -------
        params : dict
            Parameter names mapped to their values, as given.
        """
        return {name: getattr(self, name) for name in self._param_names()}

    def set_params(self, **params):
        """Set the parameters of this estimator.

        Parameters
        ----------
        **params : dict
            Parameter names and their new values.

        Returns
        -------
        self : Zelmor
            This estimator.
        """
        valid = self._param_names()
        for name, value in params.items():
            if name not in valid:
                raise ValueError(f"invalid parameter {name!r} for estimator {type(self).__name__}; "
                                 f"valid parameters: {', '.join(valid)}")
            setattr(self, name, value)
        return self

    def __repr__(self):
        defaults = {p.name: p.default for p in inspect.signature(type(self).__init__).parameters.values()}
        changed = [f"{k}={v!r}" for k, v in self.get_params().items()
                   if not (isinstance(v, str) or np.isscalar(v)) or v != defaults.get(k)]
        return f"{type(self).__name__}({', '.join(changed)})"

    def _options(self, d):
        """The run settings, checked; d is the data's dimension."""
        if self.kernels not in ("fast", "plain"):
            raise ValueError(f'kernels must be "fast" or "plain", not {self.kernels!r}')
        return {
            "epsilon_likelihood": _real(self.epsilon_likelihood, "epsilon_likelihood"),
            "epsilon_coshare": _real(self.epsilon_coshare, "epsilon_coshare"),
            "max_iter": _whole(self.max_iter, "max_iter", 0, _MAX_INT32),
            "basedim": _whole(self.basedim, "basedim", 0, d - 1),
            "kernels": self.kernels,
            "n_threads": _whole(self.n_threads, "n_threads", 0, 4096),
        }

    def _start_means(self, d, choose):
        """The starting centres: given by `init`, or chosen by `choose(K, method, seed)`."""
        K = _whole(self.n_microclusters, "n_microclusters", 1, _MAX_COUNT)
        if isinstance(self.init, str):
            if self.init not in ("kmeans++", "uniform"):
                raise ValueError(f'init must be "kmeans++", "uniform" or an array of centres, not {self.init!r}')
            return choose(K, self.init, _seed(self.random_state))
        centres = _as_points(self.init, "init")
        if centres.shape != (K, d):
            raise ValueError(f"init must have shape (n_microclusters, n_features) = ({K}, {d}), "
                             f"not {centres.shape}")
        return centres

    # -- fitting ---------------------------------------------------------

    def fit(self, X, y=None):
        """Fit the microclusters to X and order them into chains.

        The GIL is released while the engine runs; Ctrl-C stops the fit with
        ``KeyboardInterrupt``.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Real numbers; converted once to C-contiguous float32.
        y : None
            Ignored.

        Returns
        -------
        self : Zelmor
            The fitted estimator.

        Raises
        ------
        ValueError
            A setting out of range or data the engine cannot take.
        LowCoverageError
            The microclusters account for less than 95 per cent of the points.
        MemoryError
            The engine ran out of memory.
        """
        points = _as_points(X)
        N, d = points.shape
        if not 1 <= N <= _MAX_INT32 or not 1 <= d <= _MAX_COUNT:
            raise ValueError(f"X must hold 1 to {_MAX_INT32} points of 1 to {_MAX_COUNT} values, not {points.shape}")
        options = self._options(d)
        centres = self._start_means(d, lambda K, method, seed: _zelmor.choose_centres(points, K, method, seed))
        return self._store(_zelmor.fit_matrix(points, centres, options), centres)

    def fit_file(self, path, n_features):
        """Fit to the points of a text data file, streamed as ``zelmor`` reads it.

        The file is read once to count its points, once more by the seeding
        (``"kmeans++"`` holds its points in memory, ``"uniform"`` does not)
        and once per EM iteration: for data larger than memory.

        Parameters
        ----------
        path : str or os.PathLike
            The data file: points of ``n_features`` numbers separated by any
            white space.
        n_features : int
            d, the number of values per point.

        Returns
        -------
        self : Zelmor
            The fitted estimator.

        Raises
        ------
        OSError
            The file cannot be opened or read, or holds a value that is not
            a finite number.
        ValueError, LowCoverageError, MemoryError
            As for ``fit``.
        """
        path = str(path)
        d = _whole(n_features, "n_features", 1, _MAX_COUNT)
        options = self._options(d)
        N = _zelmor.count_points(path, d)
        if not 1 <= N <= _MAX_INT32:
            raise ValueError(f"{path}: holds {N} points; 1 to {_MAX_INT32} are needed")
        centres = self._start_means(
            d, lambda K, method, seed: _zelmor.choose_centres_from_file(path, d, K, method, seed))
        return self._store(_zelmor.fit_text_file(path, N, d, centres, options), centres)

    def _store(self, r, centres):
        K, d = r["means"].shape
        self.n_features_in_ = d
        self.initial_means_ = centres
        self.means_ = r["means"]
        self._packed_covariances = r["covariances"]
        self.covariances_ = _unpack(r["covariances"], d)
        total = float(r["weight_sums"].sum(dtype=np.float64))
        self.weights_ = r["weight_sums"] / total if total > 0 else np.full(K, 1.0 / K)
        self.log_likelihood_ = r["log_likelihoods"]
        self.n_iter_ = int(r["iterations"])
        self.converged_ = bool(r["converged"])
        self.coverage_ = float(r["coverage"])
        self.labels_ = r["labels"]
        self.co_sharing_ = np.zeros((K, K), dtype=np.float32)
        rows, cols = np.tril_indices(K, -1)
        self.co_sharing_[rows, cols] = r["co_share_levels"]
        self.co_sharing_[cols, rows] = r["co_share_levels"]
        self.expansion_order_ = r["expansion_order"]
        self.joining_levels_ = r["joining_levels"]
        self.chains_ = np.split(self.expansion_order_, np.cumsum(r["chain_sizes"])[:-1])
        self._chain_of = np.empty(K, dtype=np.int32)
        for c, members in enumerate(self.chains_):
            self._chain_of[members] = c
        self.chain_labels_ = self._chains_of(self.labels_)
        self.orientation_vectors_ = 255.0 * r["orientations"].astype(np.float64)
        return self

    # -- new points ------------------------------------------------------

    def _chains_of(self, labels):
        return np.where(labels >= 0, self._chain_of[np.maximum(labels, 0)], -1).astype(np.int32)

    def _score(self, X):
        if not hasattr(self, "means_"):
            raise NotFittedError(f"This {type(self).__name__} instance is not fitted yet; call fit first.")
        points = _as_points(X)
        if points.shape[1] != self.n_features_in_:
            raise ValueError(f"X has {points.shape[1]} features, but the model was fitted with "
                             f"{self.n_features_in_}")
        threads = 1 if self.kernels == "plain" else _whole(self.n_threads, "n_threads", 0, 4096)
        return _zelmor.score(points, self.means_, self._packed_covariances, self.n_iter_ == 0, threads)

    def predict(self, X):
        """The most probable microcluster of every point under the fitted model.

        Densities follow the rule of the E-step (the same normalisers,
        cut-off and float arithmetic); among equal largest responsibilities
        the highest index wins, as in the first E-step.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)

        Returns
        -------
        labels : ndarray of shape (n_samples,), int32
            Microcluster indices, -1 where no density is positive.
        """
        return self._score(X)[1]

    def predict_proba(self, X):
        """Every point's responsibilities under the fitted model.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)

        Returns
        -------
        proba : ndarray of shape (n_samples, n_microclusters), float32
            Each row sums to 1 within rounding, or is all zero where no
            density is positive.
        """
        return self._score(X)[0]

    def predict_chain(self, X):
        """The chain of every point's most probable microcluster.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)

        Returns
        -------
        chains : ndarray of shape (n_samples,), int32
            Indices into ``chains_``, -1 where no density is positive.
        """
        return self._chains_of(self.predict(X))

    def score_samples(self, X):
        """The log of every point's summed density under the fitted model.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)

        Returns
        -------
        log_density : ndarray of shape (n_samples,), float64
            Minus infinity where no density is positive.
        """
        return self._score(X)[2]

    def score(self, X, y=None):
        """The mean of ``score_samples(X)``.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
        y : None
            Ignored.

        Returns
        -------
        log_likelihood : float
        """
        return float(np.mean(self.score_samples(X)))

    def _n_parameters(self):
        K, d = self.means_.shape
        return K * d + K * d * (d + 1) // 2 + K - 1

    def bic(self, X):
        """Bayesian information criterion of the fitted model on X.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)

        Returns
        -------
        bic : float
            ``-2 * sum(score_samples(X)) + p * ln(n_samples)``, with p the
            number of free parameters (means, covariances and weights);
            infinite where a point has no positive density. Lower is better.
        """
        log_density = self.score_samples(X)
        return float(-2.0 * log_density.sum() + self._n_parameters() * math.log(log_density.shape[0]))
