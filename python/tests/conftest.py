"""Fixtures: the simulated ground station as a subprocess on its pseudo-terminal."""

import os
import subprocess
from typing import Callable, Iterator, List

import pytest

SIM = os.environ.get("MOORWINCH_SIM", "MoorwinchSim")


@pytest.fixture
def start_sim() -> Iterator[Callable[..., str]]:
    """start_sim(*options) runs MoorwinchSim with the options and returns its device."""
    started: List[subprocess.Popen] = []

    def start(*options: str) -> str:
        sim = subprocess.Popen([SIM, *options], stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True)
        started.append(sim)
        assert sim.stdout is not None
        port = sim.stdout.readline().strip()
        assert port, f"MoorwinchSim {' '.join(options)} named no device (exit code {sim.poll()})"
        return port

    yield start
    for sim in started:
        sim.terminate()
        sim.wait(timeout=10)
