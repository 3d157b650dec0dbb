"""Threads: one station shared by two Python threads, and the GIL left free while
an exchange waits."""

import threading
import time

import moorwinch
from moorwinch import Direction


def test_two_threads_share_one_station(start_sim):
    with moorwinch.Station(start_sim(), timeout_ms=2000) as station:
        directions = []
        station.trace = lambda direction, line, time: directions.append(direction)
        failures = []

        def work(read):
            try:
                for _ in range(25):
                    read()
            except Exception as error:  # reported below
                failures.append(error)

        threads = [threading.Thread(target=work, args=(read,)) for read in (station.status, station.config)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(timeout=120)
        assert not any(thread.is_alive() for thread in threads)
    assert failures == []
    assert directions.count(Direction.SENT) == directions.count(Direction.RECEIVED) == 50


def test_another_thread_runs_while_one_waits_for_a_reply(start_sim):
    t = 0.05
    # The handshake is answered, the activation after it is not: its wait is 30 T.
    with moorwinch.Station(start_sim("--drop-every", "2"), timeout_ms=int(t * 1000)) as station:
        window = {}

        def wait():
            window["start"] = time.monotonic()
            try:
                station.set_activation(True)
            except moorwinch.StationIOError as error:
                window["error"] = error
            window["end"] = time.monotonic()

        beats = []
        waiter = threading.Thread(target=wait)
        waiter.start()
        while waiter.is_alive():
            beats.append(time.monotonic())
            time.sleep(0.005)
        waiter.join()
    assert "error" in window
    # With the GIL held through the wait, no beat could fall inside it.
    inside = [b for b in beats if window["start"] + 5 * t < b < window["end"] - 5 * t]
    assert inside, f"no beat during the {window['end'] - window['start']:.2f} s wait"
