#!/usr/bin/env python3
"""Watch a ground station: judge its health at an interval and print the verdict.

    examples/watch_station.py /dev/ttyUSB0 --interval 2 --details

Each line shows the time (UTC), the verdict, the cable length, the mains voltage
and the conditions found. A failed round is printed and the next one tries again,
reopening the port after an I/O error. Stops after --count rounds (0: never) or
on Ctrl-C; the exit code is the worst verdict seen (0 OK, 1 WARNING, 2 ERROR),
or 3 when the port cannot be opened.
"""

import argparse
import sys
import time
from datetime import datetime, timezone

import moorwinch


# The next step to suggest when the port cannot be opened, by the error's kind.
OPEN_HINTS = {
    moorwinch.ErrorKind.portMissing: "is the station plugged in? moorwinch.ports() lists the ports",
    moorwinch.ErrorKind.portDenied: "may your user open it? (often: membership of the group dialout)",
    moorwinch.ErrorKind.portInUse: "is moorwinchd running on it? then ask the service instead",
}


def describe(health: moorwinch.Health) -> str:
    values = health.status.to_dict()
    parts = [f"{health.verdict.name:<7}"]
    if values["cableLength"] is not None:
        parts.append(f"cable {health.status.cable_length:.2f} m")
    if values["mainsVoltage"] is not None:
        parts.append(f"mains {health.status.mains_voltage:.0f} V")
    if health.conditions:
        parts.append("; ".join(health.conditions))
    return "  ".join(parts)


def show_line(direction: moorwinch.Direction, line: str, time_stamp: datetime) -> None:
    arrow = ">" if direction is moorwinch.Direction.SENT else "<"
    print(f"{time_stamp:%H:%M:%S.%f} {arrow} {line}", file=sys.stderr)


def main() -> int:
    parser = argparse.ArgumentParser(description="Print the ground station's health verdict at an interval.")
    parser.add_argument("port", help="serial port of the station, e.g. /dev/ttyUSB0")
    parser.add_argument("--interval", type=float, default=1.0, help="seconds between rounds (default 1)")
    parser.add_argument("--count", type=int, default=0, help="rounds to run, 0 for no end (default)")
    parser.add_argument("--details", action="store_true", help="also read the details (maintenance rule)")
    parser.add_argument("--timeout-ms", type=int, default=400, help="the library's timeout T (default 400)")
    parser.add_argument("--trace", action="store_true", help="print every line on the wire to standard error")
    args = parser.parse_args()

    try:
        station = moorwinch.Station(args.port, timeout_ms=args.timeout_ms)
    except moorwinch.Error as error:
        hint = OPEN_HINTS.get(error.kind)
        print(f"cannot open {args.port}: {error}" + (f"; {hint}" if hint else ""), file=sys.stderr)
        return 3
    if args.trace:
        station.trace = show_line

    worst = moorwinch.Verdict.OK
    rounds = 0
    with station:
        try:
            while args.count == 0 or rounds < args.count:
                if rounds > 0:
                    time.sleep(args.interval)
                rounds += 1
                now = datetime.now(timezone.utc).strftime("%Y-%m-%d %H:%M:%S")
                try:
                    if not station.connected:
                        station.open(args.port)
                    health = station.check(include_details=args.details)
                except moorwinch.StationIOError as error:
                    print(f"{now}  failed  {error}", flush=True)
                    station.close()  # reopened in the next round
                    continue
                except moorwinch.Error as error:
                    print(f"{now}  failed  {error}", flush=True)
                    continue
                worst = max(worst, health.verdict)
                print(f"{now}  {describe(health)}", flush=True)
        except KeyboardInterrupt:
            pass
    return int(worst)


if __name__ == "__main__":
    sys.exit(main())
