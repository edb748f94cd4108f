"""Soak and stress tests on the simulated board. `make test` runs them short (a few seconds each); `make soak`
sets PYZUM_SOAK=long for the full lengths. Each test records its figure (JUnit property `figure`)."""
import pathlib
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "sim"))

import pcb_roq_sim  # noqa: E402  (found through the path set just above)


@pytest.fixture
def sim():
    """The simulated bus with one default board (SIM0001), latency timer scaled by 0.02; teardown fails the test
    when anything opened through libusb was not given back."""
    try:
        simulator = pcb_roq_sim.Simulator()
    except pcb_roq_sim.SimulatorNotLoaded as e:
        pytest.fail(str(e), pytrace=False)
    simulator.configure(pcb_roq_sim.DEFAULT_SPEC)
    simulator.latency_scale = 0.02
    simulator.fail_init(0)
    yield simulator
    leaks = simulator.leaks()
    simulator.reset()
    assert not leaks, "libusb resources left behind: " + "; ".join(leaks)


@pytest.fixture
def figure(record_property):
    def record(text):
        record_property("figure", text)
        print("FIGURE", text)

    return record
