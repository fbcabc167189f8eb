"""Reading a right-censored survival target given as one structured array.

A target is a 1-D structured array with exactly two fields: a boolean event
indicator and a numeric time, in either order and under any names. This is
what ``korvane.Surv`` builds (fields ``("event", bool)`` and
``("time", float64)``) and what other survival libraries pass around, so
estimators and metrics accept it unchanged.
"""

import numpy as np
import numpy.typing as npt

__all__ = ["event_time_from_structured"]


def event_time_from_structured(
    y: object, name: str = "y"
) -> tuple[npt.NDArray[np.bool_], npt.NDArray[np.float64]]:
    """Split a survival target into its event indicator and its time.

    Parameters
    ----------
    y : structured ndarray, shape (n_samples,)
        Two fields: one of dtype bool (True for an event, False for a
        censoring) and one of an integer or floating dtype (the time of the
        event or censoring). The order and names of the fields are free.
    name : str, default="y"
        Name of the argument, used in every error message.

    Returns
    -------
    event : ndarray of bool, shape (n_samples,)
    time : ndarray of float64, shape (n_samples,)
        New arrays: the caller's data is never shared or changed.

    Raises
    ------
    ValueError
        If `y` is not a 1-D structured array of one boolean and one numeric
        field, is empty, has a time that is NaN or infinite, or has no event.

    Examples
    --------
    >>> import numpy as np
    >>> y = np.array([(5.0, True), (3.0, False)], dtype=[("days", "f8"), ("died", "?")])
    >>> event, time = event_time_from_structured(y)
    >>> event
    array([ True, False])
    >>> time
    array([5., 3.])
    """
    array = _structured_vector(y, name)
    event_field, time_field = _event_and_time_fields(array.dtype, name)
    event = np.array(array[event_field], dtype=np.bool_)
    time = np.array(array[time_field], dtype=np.float64)
    if not np.isfinite(time).all():
        raise ValueError(f"{name} has a time that is NaN or infinite (field {time_field!r})")
    if not event.any():
        raise ValueError(f"{name} has no event: every sample is censored")
    return event, time


def _structured_vector(y: object, name: str) -> npt.NDArray[np.void]:
    if not isinstance(y, np.ndarray) or y.dtype.names is None:
        raise ValueError(
            f"{name} must be a structured array with a boolean event field and a numeric "
            f"time field, got {type(y).__name__}"
        )
    if y.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional, got shape {y.shape}")
    if y.shape[0] == 0:
        raise ValueError(f"{name} is empty")
    return y


def _event_and_time_fields(dtype: np.dtype[np.void], name: str) -> tuple[str, str]:
    names = dtype.names or ()
    kinds = [dtype.fields[field][0].kind for field in names] if dtype.fields else []
    if len(names) != 2 or sorted(kinds) not in (["b", "f"], ["b", "i"], ["b", "u"]):
        described = ", ".join(f"{field!r}: {dtype.fields[field][0]}" for field in names) if dtype.fields else ""
        raise ValueError(
            f"{name} must have exactly two fields, one boolean (the event indicator) and "
            f"one numeric (the time); got {{{described}}}"
        )
    return (names[0], names[1]) if kinds[0] == "b" else (names[1], names[0])
