"""Exceptions that korvane raises besides the built-in ones."""

__all__ = ["NoComparablePairException"]


class NoComparablePairException(ValueError):
    """No pair of samples is comparable, so a concordance index is undefined.

    A pair is comparable when the sample with the shorter time had an event
    (and, for a weighted index, that sample has a positive weight). A
    subclass of `ValueError`, so ``except ValueError`` still catches it; the
    name is scikit-survival's, for code that catches it by that name.

    Examples
    --------
    >>> from korvane.exceptions import NoComparablePairException
    >>> from korvane.metrics import concordance_index_censored
    >>> try:
    ...     concordance_index_censored([False, True], [1.0, 2.0], [0.3, 0.7])
    ... except NoComparablePairException as error:
    ...     print(error)
    event_time allows no comparable pair: no event happens before another sample's time
    """
