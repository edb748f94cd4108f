"""Shared fixtures. `sim` gives a fresh simulated bus (sim/README.md) and checks nothing leaked."""
import pathlib
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "sim"))

import pcb_roq_sim  # noqa: E402  (found through the path set just above)

# Idle chips answer after 255 ms on hardware; tests need not wait that long.
TEST_LATENCY_SCALE = 0.02


@pytest.fixture
def sim():
    """The simulated bus with one default board, "SIM0001", and the latency timer scaled by 0.02.

    Teardown fails the test if anything opened through libusb was not given back (handles, contexts,
    device references, transfers; opens equal closes on every device), then resets the bus to its defaults.
    """
    try:
        simulator = pcb_roq_sim.Simulator()
    except pcb_roq_sim.SimulatorNotLoaded as e:
        pytest.fail(str(e), pytrace=False)
    simulator.configure(pcb_roq_sim.DEFAULT_SPEC)
    simulator.latency_scale = TEST_LATENCY_SCALE
    simulator.fail_init(0)
    yield simulator
    leaks = simulator.leaks()
    simulator.reset()
    assert not leaks, "libusb resources left behind: " + "; ".join(leaks)
