"""The dashboard in a real browser (headless Chromium through Selenium) against
moorwinchd and the simulator's 20 s flight: a clean load from the station alone,
live values and growing plots, the flight's warning on the banner, controls
only after sign-in with a change that reaches the station, and the station
unplugged and back. The tests run in order on one service and one browser."""

import json
import os
import subprocess
from typing import Iterator

import pytest
from selenium.webdriver.common.by import By

from dashboard import PATIENCE, TOKEN, Station, attribute, browser, requested_urls, wait_for

TOOL = os.environ.get("MOORWINCH_TOOL", os.path.join(os.environ.get("BUILD_DIR", "build"), "tools", "moorwinch"))
PLOTS = ("cable", "uav", "mains", "temperatures")


@pytest.fixture(scope="module")
def station() -> Iterator[Station]:
    s = Station()
    yield s
    s.close()


@pytest.fixture(scope="module")
def page(station: Station):
    driver = browser()
    # What the browser asked for its own start page is not the dashboard's.
    driver.get("about:blank")
    requested_urls(driver)
    driver.get(station.url)
    yield driver
    driver.quit()


def severe(driver) -> list:
    return [e["message"] for e in driver.get_log("browser") if e["level"] == "SEVERE"]


def points(page, name: str) -> int:
    return int(attribute(page, f'[data-plot="{name}"]', "data-points") or 0)


def test_loads_without_errors_and_asks_nothing_outside_the_station(page, station):
    wait_for(lambda: page.find_element(By.CSS_SELECTOR, '[data-field="cableLength"]').text not in ("", "–"),
             "a first cable length")
    wait_for(lambda: all(points(page, p) > 0 for p in PLOTS), "a point in every plot")
    assert severe(page) == []
    urls = requested_urls(page)
    assert urls, "the network log is empty"
    assert [u for u in urls if not u.startswith(station.url)] == []


def test_live_values_follow_the_polls(page, station):
    # The page shows a poll at least as new as the service's latest, again and again.
    for _ in range(3):
        latest = station.api("api/status")["time"]
        wait_for(lambda: float(attribute(page, "#values", "data-time") or 0) >= latest, "the service's latest poll")
    assert attribute(page, "#connection", "data-state") == "connected"
    assert attribute(page, "#values", "data-stale") == "false"
    for field in ("cableLength", "mainsVoltage", "uavPowerConsumption", "temperature1", "fan1Rpm"):
        text = page.find_element(By.CSS_SELECTOR, f'[data-field="{field}"]').text
        float(text)  # a number, in text


def test_plots_grow(page):
    before = {p: points(page, p) for p in PLOTS}
    wait_for(lambda: all(points(page, p) > before[p] for p in PLOTS), "more points in every plot")


def test_the_banner_shows_the_flights_warning(page):
    # Read together: the banner, its conditions and the failed sensor's humidity.
    shown = wait_for(lambda: page.execute_script(
        "const v = document.getElementById('verdict');"
        "return v.dataset.verdict === 'warning' && [document.getElementById('conditions').textContent,"
        " document.querySelector('[data-field=humidity1]').textContent];"), "the warning on the banner")
    assert "humidity" in shown[0].lower()
    assert shown[1] == "n/a"  # not reported: not available, never 0
    wait_for(lambda: attribute(page, "#verdict", "data-verdict") == "ok", "the banner back to ok")


def test_controls_appear_after_sign_in_and_a_change_reaches_the_station(page, station):
    assert page.find_elements(By.CSS_SELECTOR, "[data-control]") == []
    page.find_element(By.ID, "token").send_keys(TOKEN)
    page.find_element(By.CSS_SELECTOR, "#sign-in button[type=submit]").click()
    torque = wait_for(lambda: page.find_elements(By.ID, "torque-input"), "the controls")[0]
    wait_for(lambda: torque.get_attribute("value") == "40", "the torque of the station in the control")

    def set_torque(value: str) -> str:
        torque.clear()
        torque.send_keys(value)
        page.find_element(By.CSS_SELECTOR, '[data-control="torque"] button[type=submit]').click()
        wait_for(lambda: page.find_element(By.ID, "confirm").get_attribute("open") is not None, "the confirmation")
        assert attribute(page, "#control-message", "data-result") == "pending"
        page.find_element(By.CSS_SELECTOR, '[data-confirm="yes"]').click()
        wait_for(lambda: attribute(page, "#control-message", "data-result") in ("ok", "refused"), "the answer")
        return page.find_element(By.ID, "control-message").text

    # A value the library refuses is refused with its text; nothing changes.
    assert "Refused" in set_torque("150")
    assert "100" in page.find_element(By.ID, "control-message").text
    assert "Done" in set_torque("55")
    config = subprocess.run([TOOL, "--daemon", station.socket, "--json", "config"], check=True,
                            capture_output=True, text=True, timeout=PATIENCE)
    assert json.loads(config.stdout)["cableRetractionTorque"] == 55
    # The refusal's answer is the one error the browser reports.
    assert [e for e in severe(page) if "/api/set - " not in e or "status of 400" not in e] == []


def test_an_unplugged_station_shows_disconnected_and_stale_then_connected(page, station):
    station.stop_sim()
    wait_for(lambda: attribute(page, "#connection", "data-state") == "disconnected", "disconnected")
    wait_for(lambda: attribute(page, "#values", "data-stale") == "true", "stale values")
    assert attribute(page, "#verdict", "data-verdict") == "unknown"
    assert "STALE" in page.find_element(By.ID, "age").text
    station.start_sim()
    wait_for(lambda: attribute(page, "#connection", "data-state") == "connected", "connected again", PATIENCE * 2)
    wait_for(lambda: attribute(page, "#values", "data-stale") == "false", "fresh values")
    # The history's events, with the disconnection.
    wait_for(lambda: page.find_elements(By.CSS_SELECTOR, '#events li[data-kind="disconnected"]'),
             "the disconnection among the events")
