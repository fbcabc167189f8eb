"""Survival targets: the structured arrays the estimators' `fit` and `score` take."""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

from korvane._validation import event_vector, time_vector

__all__ = ["Surv"]


class Surv:
    """Build survival targets, structured arrays of an event and a time field.

    The result has a bool field (True = the event was observed, False = the
    row was censored) and a float64 field (the time of the event or of the
    censoring), the layout scikit-survival uses, so targets made by either
    library work with both.

    Examples
    --------
    >>> from korvane import Surv
    >>> y = Surv.from_arrays([1, 0, 1], [5.0, 8.0, 2.5])
    >>> y["event"], y["time"]
    (array([ True, False,  True]), array([5. , 8. , 2.5]))
    """

    @staticmethod
    def from_arrays(
        event: Any, time: Any, name_event: str | None = None, name_time: str | None = None
    ) -> npt.NDArray[np.void]:
        """Structured target from an event indicator and a time per row.

        Parameters
        ----------
        event : array-like of shape (n,)
            True or 1 where the event was observed, False or 0 where the row
            was censored. A 1/2 coding (1 = censored, 2 = event) is refused
            with how to convert it, since it would otherwise be misread.
        time : array-like of shape (n,)
            Time of the event or of the censoring: finite and non-negative.
        name_event, name_time : str, optional
            Field names; "event" and "time" when not given.

        Returns
        -------
        y : ndarray of shape (n,)
            Structured array with fields (name_event, bool), (name_time, float64).

        Raises
        ------
        ValueError
            When the lengths differ, an event is not 0/1, or a time is
            negative, infinite or NaN.
        """
        name_event = name_event or "event"
        name_time = name_time or "time"
        if name_event == name_time:
            raise ValueError(f"name_event and name_time must differ, both are {name_event!r}")
        events = event_vector(event, "event")
        times = time_vector(time, "time")
        if len(events) != len(times):
            raise ValueError(f"event has {len(events)} entries but time has {len(times)}")
        y = np.empty(len(times), dtype=[(name_event, np.bool_), (name_time, np.float64)])
        y[name_event] = events
        y[name_time] = times
        return y

    @staticmethod
    def from_dataframe(event: str, time: str, data: Any) -> npt.NDArray[np.void]:
        """Structured target from two columns of a pandas or polars data frame.

        Parameters
        ----------
        event : str
            Name of the column holding the event indicator (bool or 0/1).
        time : str
            Name of the column holding the times.
        data : pandas.DataFrame or polars.DataFrame
            The frame holding both columns.

        Returns
        -------
        y : ndarray of shape (n,)
            Structured array whose fields carry the two column names.

        Raises
        ------
        KeyError
            When `data` has no column of that name.
        """
        columns = list(data.columns)
        for argument, column in (("event", event), ("time", time)):
            if column not in columns:
                raise KeyError(f"{argument}={column!r} is not a column of data (columns: {columns})")
        return Surv.from_arrays(data[event], data[time], name_event=event, name_time=time)
