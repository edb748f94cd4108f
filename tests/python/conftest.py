"""Shared fixtures. `sim` gives a fresh simulated bus (sim/README.md) and checks nothing leaked."""
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "sim"))

from sim_fixture import pytest_runtest_makereport, sim  # noqa: E402,F401  (it needs the sim path set just above; shared with the soak runs)
