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
"""

from datetime import datetime
from typing import Callable, Union

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

# A value of to_dict(), and what Station.trace takes; for annotations.
JsonValue = Union[int, float, str, bool, None]
TraceFunction = Callable[[Direction, str, datetime], object]

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
    "__version__",
    "library_build",
    "ports",
    "protocol_version",
    "stale_after",
    "version_details",
]
