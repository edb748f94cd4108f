"""Soak and stress tests on the simulated board. `make test` runs them short (a few seconds each); `make soak`
sets PYZUM_SOAK=long for the full lengths. Each test records its figure (JUnit property `figure`)."""
import pathlib
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "sim"))
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "tests" / "python"))

from sim_fixture import pytest_runtest_makereport, sim  # noqa: E402,F401  (it needs the paths set just above; shared with the Python suite)


@pytest.fixture
def figure(record_property):
    def record(text):
        record_property("figure", text)
        print("FIGURE", text)

    return record
