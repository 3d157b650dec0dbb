"""Drive a Moorwinch ground station from Python.

The module is the C++ library's public class with Python names: a Station opens
a serial port and reads records (Status, Details, Config, Reporting), changes the
configuration, judges the health (Verdict) and writes the library's reports.

    import moorwinch

    with moorwinch.Station("/dev/ttyUSB0", timeout_ms=400) as station:
        health = station.check()
        print(health.verdict.name, health.conditions)
        print(station.report(health.status))

Errors form one family: moorwinch.Error, with StationIOError (also an OSError),
StationDataError and StationValueError (also a ValueError).
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
    "version_details",
]
