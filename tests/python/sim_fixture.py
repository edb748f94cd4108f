"""The `sim` fixture and the pool count, shared by the Python suite and the soak runs (imported by both conftests)."""
import datetime
import gc
import sys
import time
import traceback

import pytest

import pcb_roq_sim

# Idle chips answer after 255 ms on hardware; tests need not wait that long.
TEST_LATENCY_SCALE = 0.02
CONTENT_SPEC = "board,rate=unlimited"


@pytest.hookimpl(wrapper=True)
def pytest_runtest_makereport(item, call):
    """Marks a test whose body failed, for the `sim` fixture's teardown."""
    report = yield
    if report.when == "call" and report.failed:
        item.failed_in_call = True
    return report


def _let_go_of_the_failure():
    """Clears the frames of the failure pytest keeps for post-mortem debugging (sys.last_exc and what it
    chains to): their locals would keep the failed test's boards open."""
    exc = getattr(sys, "last_exc", None) or getattr(sys, "last_value", None)
    seen = set()
    while exc is not None and id(exc) not in seen:
        seen.add(id(exc))
        traceback.clear_frames(exc.__traceback__)
        exc = exc.__cause__ or exc.__context__
    gc.collect()


@pytest.fixture
def sim(request):
    """The simulated bus with one default board, "SIM0001", and the latency timer scaled by 0.02.

    Teardown fails the test if anything opened through libusb was not given back (handles, contexts,
    device references, transfers; opens equal closes on every device), then resets the bus to its defaults.
    A test that failed had its boards closed first: its failure is reported once, not again as a leak.
    """
    try:
        simulator = pcb_roq_sim.Simulator()
    except pcb_roq_sim.SimulatorNotLoaded as e:
        pytest.fail(str(e), pytrace=False)
    # A board that writes only as fast as it is read: the tests look at content; timing tests set a rate.
    simulator.configure(CONTENT_SPEC)
    simulator.latency_scale = TEST_LATENCY_SCALE
    simulator.fail_init(0)
    yield simulator
    if getattr(request.node, "failed_in_call", False):
        _let_go_of_the_failure()
    leaks = simulator.leaks()
    simulator.reset()
    assert not leaks, "libusb resources left behind: " + "; ".join(leaks)


def pool_size(board, bound=60.0, pause=0.02):
    """Blocks in the board's pool, counted by letting acquisition fill all of them and draining the data channel:
    64 when none was lost or made up. Leaves the board stopped."""
    board.timeout = datetime.timedelta(seconds=10)
    board.start()
    deadline = time.monotonic() + bound
    count = 0
    while time.monotonic() < deadline:
        time.sleep(pause)
        board.stop()
        board.timeout = datetime.timedelta(0)
        count = 0
        while board.samples is not None:
            count += 1
        if count >= 64:
            break
        pause = min(2 * pause, 5.0)  # a loaded machine fills the pool more slowly: give it longer each time
        board.start()
    return count
