"""The dashboard in headless Chromium against moorwinchd and MoorwinchSim's
flight, as real programs: shared by the browser tests, the screenshots and the
figures. Programs come from the environment (MOORWINCHD, MOORWINCH_SIM) or the
build tree (BUILD_DIR, default ./build)."""

import json
import os
import re
import signal
import subprocess
import tempfile
import time
import urllib.request
from typing import Any, Callable, Dict, List, Optional

from selenium import webdriver
from selenium.webdriver.chrome.service import Service as DriverService

BUILD = os.environ.get("BUILD_DIR", "build")
MOORWINCHD = os.environ.get("MOORWINCHD", os.path.join(BUILD, "daemon", "moorwinchd"))
SIM = os.environ.get("MOORWINCH_SIM", os.path.join(BUILD, "sim", "MoorwinchSim"))
TOKEN = "dashboard-token-0123456789"
# Generous for a loaded machine: every wait is on a condition, this is its bound.
PATIENCE = 60.0


def wait_for(condition: Callable[[], Any], what: str, limit: float = PATIENCE) -> Any:
    deadline = time.monotonic() + limit
    while True:
        result = condition()
        if result:
            return result
        if time.monotonic() > deadline:
            raise AssertionError(f"not within {limit} s: {what}")
        time.sleep(0.05)


class Station:
    """The simulator's flight on a pseudo-terminal behind a fixed link, and the
    service in front of it with the dashboard on a free loopback port."""

    def __init__(self, interval: float = 0.25, flight_seconds: int = 20, history: bool = True,
                 extra: Optional[List[str]] = None, link: str = "") -> None:
        self.dir = tempfile.mkdtemp(prefix="moorwinch-dashboard-")
        self.link = link or os.path.join(self.dir, "tty")
        self.socket = os.path.join(self.dir, "d.sock")
        self.token_file = os.path.join(self.dir, "token")
        with open(self.token_file, "w") as f:
            f.write(TOKEN + "\n")
        os.chmod(self.token_file, 0o600)
        self.interval = interval
        self.flight_seconds = flight_seconds
        self.sim: Optional[subprocess.Popen] = None
        self.daemon: Optional[subprocess.Popen] = None
        self.start_sim()
        args = [MOORWINCHD, "--port", self.link, "--socket", self.socket, "--foreground", "--interval", str(interval),
                "--http", "0", "--token-file", self.token_file, "--verbose", *(extra or [])]
        if history:
            args += ["--history", os.path.join(self.dir, "history.db")]
        self.log = open(os.path.join(self.dir, "daemon.log"), "w+")
        self.daemon = subprocess.Popen(args, stdout=self.log, stderr=self.log, stdin=subprocess.DEVNULL)
        port = wait_for(lambda: re.search(r"dashboard on http://127\.0\.0\.1:(\d+)/", self.daemon_log()),
                        "the dashboard's address in the service's log")
        self.url = f"http://127.0.0.1:{port.group(1)}/"

    def daemon_log(self) -> str:
        with open(os.path.join(self.dir, "daemon.log")) as f:
            return f.read()

    def start_sim(self) -> None:
        self.sim = subprocess.Popen([SIM, "--scenario", "flight", "--flight-seconds", str(self.flight_seconds),
                                     "--link", self.link], stdout=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        wait_for(lambda: os.path.exists(self.link), "the simulator's link")

    def stop_sim(self) -> None:
        assert self.sim is not None
        self.sim.send_signal(signal.SIGTERM)
        self.sim.wait(timeout=PATIENCE)
        self.sim = None

    def api(self, path: str) -> Dict[str, Any]:
        with urllib.request.urlopen(self.url + path, timeout=PATIENCE) as response:
            return json.load(response)

    def close(self) -> None:
        for process in (self.daemon, self.sim):
            if process is not None and process.poll() is None:
                process.send_signal(signal.SIGTERM)
                try:
                    process.wait(timeout=PATIENCE)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
        self.log.close()
        if not os.environ.get("KEEP_TEST_DIR"):
            subprocess.run(["rm", "-rf", self.dir], check=False)


def browser(width: int = 1366, height: int = 900) -> webdriver.Chrome:
    """Headless Chromium with a fresh profile, nothing of its own on the network,
    and its console and network events kept for the tests."""
    options = webdriver.ChromeOptions()
    options.binary_location = os.environ.get("CHROMIUM", "/usr/bin/chromium")
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--disable-dev-shm-usage", f"--window-size={width},{height}",
                 "--user-data-dir=" + tempfile.mkdtemp(prefix="moorwinch-chromium-")):
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL", "performance": "ALL"})
    driver = webdriver.Chrome(service=DriverService(os.environ.get("CHROMEDRIVER", "/usr/bin/chromedriver")),
                              options=options)
    driver.set_page_load_timeout(PATIENCE)
    # The window's size is the page's, also in headless mode.
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                           {"width": width, "height": height, "deviceScaleFactor": 1, "mobile": False})
    return driver


def requested_urls(driver: webdriver.Chrome) -> List[str]:
    """Every URL the page asked for since the last call (the browser's network log)."""
    urls = []
    for entry in driver.get_log("performance"):
        message = json.loads(entry["message"])["message"]
        if message["method"] == "Network.requestWillBeSent":
            urls.append(message["params"]["request"]["url"])
    return urls


def attribute(driver: webdriver.Chrome, selector: str, name: str) -> Optional[str]:
    return driver.execute_script(
        "const e = document.querySelector(arguments[0]); return e ? e.getAttribute(arguments[1]) : null;",
        selector, name)
