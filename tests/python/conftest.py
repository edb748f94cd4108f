"""Shared fixtures. `sim` gives a fresh simulated bus (sim/README.md) and checks nothing leaked."""
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "sim"))

import pcb_roq_sim  # noqa: E402
from sim_fixture import pytest_runtest_makereport, sim  # noqa: E402,F401  (it needs the sim path set just above; shared with the soak runs)


def pytest_sessionstart(session):
    """Names the libusb and libftdi this run's tests ran on, and whose libusb answered: a stage's output says it
    (also under -q, which leaves out pytest's own header)."""
    from pyzum_zezudi_vu.versions import library_versions

    try:
        front_end = pcb_roq_sim.Simulator().front_end
    except pcb_roq_sim.SimulatorNotLoaded:
        front_end = None
    v = library_versions()
    dotted = {k: ".".join(map(str, n)) if n else "not found" for k, n in v.items()}
    usb = {"usbfs": f"libusb {dotted['libusb']} (the real one, over the emulated usbfs)",
           "libusb": "the simulator's libusb stand-in"}.get(front_end, f"libusb {dotted['libusb']}, no simulator")
    reporter = session.config.pluginmanager.get_plugin("terminalreporter")
    if reporter is not None:
        reporter.write_line(f"usb stack: {usb}, libftdi {dotted['libftdi']}")
