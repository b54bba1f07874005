"""Microcluster fitting on NumPy arrays.

``Zelmor`` fits K Gaussian microclusters by expectation-maximisation,
measures how strongly every pair of them shares the same points, and orders
them into chains: the clusters of the data. It follows scikit-learn's
estimator conventions without needing scikit-learn.
"""

from ._errors import LowCoverageError, NotFittedError
from ._estimator import Zelmor

__all__ = ["Zelmor", "LowCoverageError", "NotFittedError"]
