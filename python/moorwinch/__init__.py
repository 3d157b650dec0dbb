"""Drive a Moorwinch ground station from Python.

The module is the C++ library's public class with Python names: a Station opens
a serial port and reads records (Status, Details, Config, Reporting), changes the
configuration, judges the health (Verdict) and writes the library's reports.

    import moorwinch

    with moorwinch.Station("/dev/ttyUSB0", timeout_ms=400) as station:
        health = station.check()
        print(health.verdict.name, health.conditions)
        print(station.report(health.status))

Errors form one family: moorwinch.Error, with StationIOError (also an OSError,
with errno and the port as filename), StationDataError and StationValueError
(also a ValueError). Each carries kind, a moorwinch.ErrorKind (timeout,
portMissing, stationRefused, ...), and where they apply the station's status
code and message and the field concerned:

    try:
        station.set_start_length(100000)
    except moorwinch.Error as error:
        print(error.kind.value, error.field, error.station_message)

moorwinch.history() reads the file moorwinchd --history writes (or a copy of
it), for a flight to be analysed in a notebook; its errors are HistoryError
and HistoryQueryError (also a ValueError).
"""

import os
from datetime import datetime, timedelta
from typing import Any, Callable, Dict, List, Optional, Sequence, Union

from ._moorwinch import (
    MAX_TORQUE,
    MIN_START_LENGTH,
    MIN_TORQUE,
    Config,
    Details,
    Direction,
    Error,
    ErrorKind,
    Health,
    HistoryError,
    HistoryQueryError,
    Port,
    Reporting,
    Station,
    StationDataError,
    StationIOError,
    StationValueError,
    Status,
    Verdict,
    __version__,
    library_build,
    ports,
    protocol_version,
    stale_after,
    version_details,
)
from ._moorwinch import _history

# A value of to_dict(), and what Station.trace takes; for annotations.
JsonValue = Union[int, float, str, bool, None]
TraceFunction = Callable[[Direction, str, datetime], object]

# A point in time as history() takes it.
When = Union[str, float, datetime]


def history(
    path: Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"],
    since: Optional[When] = None,
    until: Optional[When] = None,
    fields: Optional[Sequence[str]] = None,
    step: Union[float, timedelta, None] = None,
) -> Union[List[Dict[str, Any]], Dict[str, Any]]:
    """The status moorwinchd recorded in a history file, opened read-only.

    since and until (both included) are Unix seconds, a datetime (a naive one
    is local time, as datetime.timestamp() takes it) or a text as the tool
    takes it: ISO 8601 with a zone ("2024-05-01T12:00:00Z"), Unix seconds, or
    a time before now ("30s", "10m", "2h", "1d"). until defaults to now, since
    to an hour before until. fields are status members by their JSON names
    ("cableLength", ...; default: all). With step (seconds or a timedelta) the
    polls are aggregated into buckets of that width from since on: the worst
    verdict and min, max and mean of each field.

    Without numpy: a list of dicts with the keys of the JSON rows: "time" (an
    aware UTC datetime), "verdict" (a Verdict) and one per field (int or float,
    None where not available); a bucket's field is a dict of "min", "max" and
    "mean" (None when it had no value). When numpy is importable: a dict of
    numpy arrays, one per key ("time" datetime64[us] in UTC, "verdict" int8 of
    the Verdict values, a field float64 with NaN where not available; a
    bucket's fields as "<field>_min", "<field>_max" and "<field>_mean").

    At most 100000 rows or buckets: more raise HistoryQueryError, as do a bad
    time, an unknown field, since after until or a step out of range; a file
    that cannot be read raises HistoryError.
    """
    if isinstance(since, datetime):
        since = since.timestamp()
    if isinstance(until, datetime):
        until = until.timestamp()
    if isinstance(step, timedelta):
        step = step.total_seconds()
    try:
        import numpy
    except ImportError:
        rows: List[Dict[str, Any]] = _history(os.fsencode(path), since, until, fields, step, False)
        return rows
    columns = _history(os.fsencode(path), since, until, fields, step, True)
    return {key: numpy.frombuffer(bytearray(data), dtype=dtype) for key, (dtype, data) in columns.items()}


__all__ = [
    "MAX_TORQUE",
    "MIN_START_LENGTH",
    "MIN_TORQUE",
    "Config",
    "Details",
    "Direction",
    "Error",
    "ErrorKind",
    "Health",
    "HistoryError",
    "HistoryQueryError",
    "JsonValue",
    "Port",
    "Reporting",
    "Station",
    "StationDataError",
    "StationIOError",
    "StationValueError",
    "Status",
    "TraceFunction",
    "Verdict",
    "When",
    "__version__",
    "history",
    "library_build",
    "ports",
    "protocol_version",
    "stale_after",
    "version_details",
]
