"""Exceptions of the zelmor package."""


class LowCoverageError(ValueError):
    """The fitted microclusters account for too little of the data.

    A fit stops when the expected number of points that the microclusters
    account for (the coverage) is below 95 per cent of the points. The usual
    cause is the data's scale: standardise the columns (for example with
    ``sklearn.preprocessing.StandardScaler``) or choose other starting
    centres.

    Parameters
    ----------
    message : str
        The engine's message.
    coverage : float
        The coverage the fit found, in points.

    Attributes
    ----------
    coverage : float
        The coverage the fit found, in points.
    """

    def __init__(self, message, coverage):
        super().__init__(message)
        self.coverage = coverage


class NotFittedError(ValueError, AttributeError):
    """A method that needs a fitted model was called before ``fit``."""
