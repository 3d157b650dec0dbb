"""Type stub of the moorwinch package (the extension moorwinch._moorwinch)."""

import enum
import os
from datetime import datetime, timedelta
from typing import Any, Callable, ClassVar, Mapping, NamedTuple, Sequence, overload

__version__: str
MIN_TORQUE: int
MAX_TORQUE: int
MIN_START_LENGTH: float

class ErrorKind(enum.Enum):
    unknown = "unknown"
    notConnected = "notConnected"
    portMissing = "portMissing"
    portDenied = "portDenied"
    portInUse = "portInUse"
    portGone = "portGone"
    portError = "portError"
    timeout = "timeout"
    busy = "busy"
    malformedReply = "malformedReply"
    wrongMessage = "wrongMessage"
    stationRefused = "stationRefused"
    valueOutOfRange = "valueOutOfRange"
    flagUnavailable = "flagUnavailable"

class Error(Exception):
    kind: ErrorKind
    station_status: int | None
    station_message: str | None
    field: str | None

class StationIOError(Error, OSError): ...
class StationDataError(Error): ...
class StationValueError(Error, ValueError): ...
class HistoryError(Error): ...
class HistoryQueryError(HistoryError, ValueError): ...

class Verdict(enum.IntEnum):
    OK = 0
    WARNING = 1
    ERROR = 2

class Direction(enum.Enum):
    SENT = "sent"
    RECEIVED = "received"

JsonValue = int | float | str | bool | None

class Status:
    """Live status, as Station.status() reads it; "not available" markers as in C++."""

    cab: int
    env: int
    energy_gs: int
    energy_uav: int
    sys_state: int
    hw_module_status: int
    cable_length: float
    cable_speed: float
    cable_retraction_status: int
    cable_retraction_torque: int
    cable_retraction_start_length: float
    tether_status: int
    cable_guide_status: int
    cable_reel_status: int
    temperature1: float
    temperature2: float
    temperature3: float
    temperature4: float
    humidity1: float
    pressure1: float
    env_sensor1_status: int
    env_sensor2_status: int
    env_sensor3_status: int
    env_sensor4_status: int
    fan1_rpm: int
    fan1_status: int
    fan2_rpm: int
    fan2_status: int
    mains_voltage: float
    mains_current: float
    mains_frequency: float
    mains_status: int
    control_supply_status: int
    backup_battery_voltage: float
    backup_battery_status: int
    uav_supply_voltage: float
    uav_supply_current: float
    uav_power_consumption: float
    uav_ext_supply_status: int
    uav_cell_count: int
    activation_status: int
    retraction_status: int
    battery_status: int
    system_time: int
    operation_time: int
    flight_time: int
    flight_time_op_sum: int
    flight_count_op_sum: int
    error_code: int
    hw_main_ctrl: int
    hw_reel_ctrl: int
    hw_lpwr_ctrl: int
    hw_hpwr_ctrl: int
    hw_env_ctrl: int

    def __init__(
        self,
        *,
        cab: int = ...,
        env: int = ...,
        energy_gs: int = ...,
        energy_uav: int = ...,
        sys_state: int = ...,
        hw_module_status: int = ...,
        cable_length: float = ...,
        cable_speed: float = ...,
        cable_retraction_status: int = ...,
        cable_retraction_torque: int = ...,
        cable_retraction_start_length: float = ...,
        tether_status: int = ...,
        cable_guide_status: int = ...,
        cable_reel_status: int = ...,
        temperature1: float = ...,
        temperature2: float = ...,
        temperature3: float = ...,
        temperature4: float = ...,
        humidity1: float = ...,
        pressure1: float = ...,
        env_sensor1_status: int = ...,
        env_sensor2_status: int = ...,
        env_sensor3_status: int = ...,
        env_sensor4_status: int = ...,
        fan1_rpm: int = ...,
        fan1_status: int = ...,
        fan2_rpm: int = ...,
        fan2_status: int = ...,
        mains_voltage: float = ...,
        mains_current: float = ...,
        mains_frequency: float = ...,
        mains_status: int = ...,
        control_supply_status: int = ...,
        backup_battery_voltage: float = ...,
        backup_battery_status: int = ...,
        uav_supply_voltage: float = ...,
        uav_supply_current: float = ...,
        uav_power_consumption: float = ...,
        uav_ext_supply_status: int = ...,
        uav_cell_count: int = ...,
        activation_status: int = ...,
        retraction_status: int = ...,
        battery_status: int = ...,
        system_time: int = ...,
        operation_time: int = ...,
        flight_time: int = ...,
        flight_time_op_sum: int = ...,
        flight_count_op_sum: int = ...,
        error_code: int = ...,
        hw_main_ctrl: int = ...,
        hw_reel_ctrl: int = ...,
        hw_lpwr_ctrl: int = ...,
        hw_hpwr_ctrl: int = ...,
        hw_env_ctrl: int = ...,
    ) -> None: ...
    def to_dict(self) -> dict[str, JsonValue]: ...
    @staticmethod
    def from_dict(mapping: Mapping[str, object]) -> Status: ...
    def __eq__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __copy__(self) -> Status: ...
    def __deepcopy__(self, memo: object) -> Status: ...
    def __getstate__(self) -> tuple[JsonValue, ...]: ...
    def __setstate__(self, state: tuple[JsonValue, ...]) -> None: ...

class Details:
    """Product details, as Station.details() reads them."""

    product_type: str
    model: str
    serial_number: str
    day_of_production: str
    hw_version: str
    sw_version_main_ctrl: str
    sw_version_reel_ctrl: str
    sw_version_lpwr_ctrl: str
    sw_version_hpwr_ctrl: str
    sw_version_env_ctrl: str
    sw_version_net_ctrl: str
    sw_version_bbat_ctrl: str
    protocol_version: str
    uav_cell_voltages: str
    max_power: int
    cable_type: str
    max_cable_length: int
    network_type: int
    flight_time_sum: int
    flight_count: int
    operation_time_sum: int
    operation_count: int
    system_time_sum: int
    system_use_count: int
    last_maintenance: int
    time_to_maintenance: int
    maintenance_required: int

    def __init__(
        self,
        *,
        product_type: str = ...,
        model: str = ...,
        serial_number: str = ...,
        day_of_production: str = ...,
        hw_version: str = ...,
        sw_version_main_ctrl: str = ...,
        sw_version_reel_ctrl: str = ...,
        sw_version_lpwr_ctrl: str = ...,
        sw_version_hpwr_ctrl: str = ...,
        sw_version_env_ctrl: str = ...,
        sw_version_net_ctrl: str = ...,
        sw_version_bbat_ctrl: str = ...,
        protocol_version: str = ...,
        uav_cell_voltages: str = ...,
        max_power: int = ...,
        cable_type: str = ...,
        max_cable_length: int = ...,
        network_type: int = ...,
        flight_time_sum: int = ...,
        flight_count: int = ...,
        operation_time_sum: int = ...,
        operation_count: int = ...,
        system_time_sum: int = ...,
        system_use_count: int = ...,
        last_maintenance: int = ...,
        time_to_maintenance: int = ...,
        maintenance_required: int = ...,
    ) -> None: ...
    def to_dict(self) -> dict[str, JsonValue]: ...
    @staticmethod
    def from_dict(mapping: Mapping[str, object]) -> Details: ...
    def __eq__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __copy__(self) -> Details: ...
    def __deepcopy__(self, memo: object) -> Details: ...
    def __getstate__(self) -> tuple[JsonValue, ...]: ...
    def __setstate__(self, state: tuple[JsonValue, ...]) -> None: ...

class Config:
    """System configuration; Station.set_config() takes one."""

    system_activation: bool
    cable_retraction_torque: int
    cable_retraction_start_length: float
    cable_retraction_status: int

    def __init__(
        self,
        *,
        system_activation: bool = ...,
        cable_retraction_torque: int = ...,
        cable_retraction_start_length: float = ...,
        cable_retraction_status: int = ...,
    ) -> None: ...
    def to_dict(self) -> dict[str, JsonValue]: ...
    @staticmethod
    def from_dict(mapping: Mapping[str, object]) -> Config: ...
    def __eq__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __copy__(self) -> Config: ...
    def __deepcopy__(self, memo: object) -> Config: ...
    def __getstate__(self) -> tuple[JsonValue, ...]: ...
    def __setstate__(self, state: tuple[JsonValue, ...]) -> None: ...

class Reporting:
    """Which status blocks the station reports (0, 1; 255 not available)."""

    cab: int
    env: int
    energy_gs: int
    energy_uav: int
    sys_state: int
    hw_module_status: int

    def __init__(
        self,
        *,
        cab: int = ...,
        env: int = ...,
        energy_gs: int = ...,
        energy_uav: int = ...,
        sys_state: int = ...,
        hw_module_status: int = ...,
    ) -> None: ...
    def to_dict(self) -> dict[str, JsonValue]: ...
    @staticmethod
    def from_dict(mapping: Mapping[str, object]) -> Reporting: ...
    def __eq__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __copy__(self) -> Reporting: ...
    def __deepcopy__(self, memo: object) -> Reporting: ...
    def __getstate__(self) -> tuple[JsonValue, ...]: ...
    def __setstate__(self, state: tuple[JsonValue, ...]) -> None: ...

class Health(NamedTuple):
    verdict: Verdict
    conditions: list[str]
    status: Status
    details: Details | None

class Port(NamedTuple):
    port: str
    description: str
    hardware_id: str

TraceFunction = Callable[[Direction, str, datetime], object]

class Station:
    """One ground station on one serial port."""

    def __init__(self, port: str | None = None, timeout_ms: int = 400) -> None: ...
    def __enter__(self) -> Station: ...
    def __exit__(self, *args: object) -> None: ...
    def open(self, port: str) -> None: ...
    def close(self) -> None: ...
    @property
    def connected(self) -> bool: ...
    @property
    def port(self) -> str | None: ...
    @property
    def timeout_ms(self) -> int: ...
    @timeout_ms.setter
    def timeout_ms(self, value: int) -> None: ...
    @property
    def trace(self) -> TraceFunction | None: ...
    @trace.setter
    def trace(self, function: TraceFunction | None) -> None: ...
    def status(self) -> Status: ...
    def details(self) -> Details: ...
    def config(self) -> Config: ...
    def reporting(self) -> Reporting: ...
    def set_torque(self, torque: int) -> None: ...
    def set_start_length(self, metres: float) -> None: ...
    def set_activation(self, active: bool) -> None: ...
    @overload
    def set_config(self, config: Config) -> None: ...
    @overload
    def set_config(self, activation: bool, torque: int, start_length: float) -> None: ...
    def set_reporting(
        self,
        reporting: Reporting | None = None,
        *,
        cab: int | None = None,
        env: int | None = None,
        energy_gs: int | None = None,
        energy_uav: int | None = None,
        sys_state: int | None = None,
        hw_module_status: int | None = None,
    ) -> None: ...
    def check(
        self, include_details: bool = False, status: Status | None = None, details: Details | None = None
    ) -> Health: ...
    def report(self, record: Status | Details | Config) -> str: ...

def ports() -> list[Port]: ...
def library_build() -> str: ...
def protocol_version() -> str: ...
def version_details() -> str: ...
def stale_after(interval: float, timeout_ms: int) -> float: ...

When = str | float | datetime

def history(
    path: str | bytes | os.PathLike[str] | os.PathLike[bytes],
    since: When | None = None,
    until: When | None = None,
    fields: Sequence[str] | None = None,
    step: float | timedelta | None = None,
) -> list[dict[str, Any]] | dict[str, Any]: ...
