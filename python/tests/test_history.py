"""moorwinch.history(): a history file's polls and buckets as dicts, and as
numpy arrays when numpy is importable; its questions' bounds and errors."""

import os
import subprocess
import sys
from datetime import datetime, timedelta, timezone
from pathlib import Path
from typing import Iterator

import pytest

import moorwinch

FIXTURE = os.environ.get("MOORWINCH_HISTORY_FIXTURE")
START = datetime(2024, 5, 1, 12, tzinfo=timezone.utc)  # the fixture's first poll; one every 0.5 s
FIELDS = ["cableLength", "cableRetractionTorque", "temperature2"]


@pytest.fixture
def history_file(tmp_path: Path) -> str:
    """20 polls of known values (tests/history_fixture.cpp) and two events."""
    if not FIXTURE:
        pytest.skip("MOORWINCH_HISTORY_FIXTURE is not set (the build's test environment sets it)")
    path = str(tmp_path / "history.db")
    subprocess.run([FIXTURE, path], check=True)
    return path


@pytest.fixture
def without_numpy(monkeypatch: pytest.MonkeyPatch) -> Iterator[None]:
    monkeypatch.setitem(sys.modules, "numpy", None)  # import numpy raises ImportError
    yield


def test_rows_and_buckets_as_dicts_with_the_json_keys(history_file: str, without_numpy: None) -> None:
    rows = moorwinch.history(history_file, since=START, until="2024-05-01T12:00:04.5Z", fields=FIELDS)
    assert isinstance(rows, list) and len(rows) == 10
    assert rows[9] == {
        "time": START + timedelta(seconds=4.5),
        "verdict": moorwinch.Verdict.WARNING,
        "cableLength": 2.25,
        "cableRetractionTorque": 40,
        "temperature2": None,
    }
    assert type(rows[9]["cableRetractionTorque"]) is int and rows[9]["time"].tzinfo is timezone.utc

    buckets = moorwinch.history(
        Path(history_file), since=START.timestamp(), until=START + timedelta(seconds=9.5), fields=FIELDS[::2],
        step=timedelta(seconds=5),
    )
    none = {"min": None, "max": None, "mean": None}
    assert buckets == [
        {"time": START, "verdict": moorwinch.Verdict.WARNING,
         "cableLength": {"min": 0.0, "max": 2.25, "mean": 1.125}, "temperature2": none},
        {"time": START + timedelta(seconds=5), "verdict": moorwinch.Verdict.WARNING,
         "cableLength": {"min": 2.5, "max": 4.75, "mean": 3.625}, "temperature2": none},
    ]


def test_rows_and_buckets_as_numpy_arrays_with_nan_for_null(history_file: str) -> None:
    import numpy

    columns = moorwinch.history(history_file, since=START, until="2024-05-01T12:00:04.5Z", fields=FIELDS)
    assert isinstance(columns, dict) and list(columns) == ["time", "verdict", *FIELDS]
    assert columns["time"].dtype == numpy.dtype("datetime64[us]")
    assert columns["time"][1] == numpy.datetime64("2024-05-01T12:00:00.500000")
    assert columns["verdict"].tolist() == [moorwinch.Verdict.OK] * 9 + [moorwinch.Verdict.WARNING]
    assert columns["cableLength"].tolist() == [0.25 * i for i in range(10)]
    assert columns["cableRetractionTorque"].tolist() == [40.0] * 10
    assert numpy.isnan(columns["temperature2"]).all()
    columns["cableLength"][0] = 1.0  # arrays of their own, writable

    buckets = moorwinch.history(history_file, since=START, until=START + timedelta(seconds=9.5), fields=FIELDS,
                                step=5)
    assert isinstance(buckets, dict)
    assert buckets["cableLength_mean"].tolist() == [1.125, 3.625]
    assert buckets["cableRetractionTorque_max"].tolist() == [40.0, 40.0]
    assert numpy.isnan(buckets["temperature2_min"]).all()


def test_questions_it_cannot_answer_and_files_it_cannot_read(history_file: str, tmp_path: Path) -> None:
    query_errors = [
        ({"since": START, "until": START - timedelta(hours=1)}, "is after until", None),
        ({"since": START, "fields": ["cableLength", "bogus"]}, "unknown field 'bogus'", "fields"),
        ({"since": "yesterday"}, "bad time 'yesterday'", "since"),
        ({"since": START, "step": 0}, "Valid step", "step"),
    ]
    for arguments, words, field in query_errors:
        with pytest.raises(moorwinch.HistoryQueryError, match=words) as caught:
            moorwinch.history(history_file, **arguments)  # type: ignore[arg-type]
        assert isinstance(caught.value, ValueError) and caught.value.field == field
    with pytest.raises(TypeError, match="a list of member names"):
        moorwinch.history(history_file, fields="cableLength")

    not_history = tmp_path / "notes.txt"
    not_history.write_text("flight notes\n")
    for path, words in [(tmp_path / "missing.db", "no such file"), (not_history, "not a moorwinch history file")]:
        with pytest.raises(moorwinch.HistoryError, match=words) as refused:
            moorwinch.history(path)
        assert not isinstance(refused.value, moorwinch.HistoryQueryError)
