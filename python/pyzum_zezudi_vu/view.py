"""python3 -m pyzum_zezudi_vu view: the five words of the newest frames in five scrolling panels, while
every block is read.

A run of the board (run.Run) takes every block it delivers on a thread of its own, checks its frame counter and
hands it to the view's sink (view_reader), which keeps the newest frames in a small ring; it never waits for
the screen. The screen (view_screen), on its own timer,
draws whatever the ring holds at that moment, thinned to about one point per pixel column. A slow redraw
therefore shows fewer pictures, never fewer frames.
"""
import contextlib
import os
import signal
import sys
import threading
import time

from .run import STOP_SIGNALS
from .view_reader import POOL_BLOCKS, FrameRing, RingSink, ViewOfRun, health_line  # noqa: F401  (the view's parts, in one place)
from .view_screen import Screen, envelope  # noqa: F401

REFRESH_SECONDS = 0.05
# Niceness added to the drawing thread while the view runs.
_DRAWING_NICENESS = 10
# Drawing holds the interpreter for milliseconds at a stretch; a short switch interval hands it back to the
# reader after each of its blocks instead of once per 5 ms (the default), which at 800 blocks a second would
# let the queue grow for as long as a redraw lasts.
_SWITCH_INTERVAL = 0.0005


def has_display():
    """Whether a window could open at all: on X11 and Wayland systems that needs DISPLAY or WAYLAND_DISPLAY."""
    if sys.platform in ("win32", "darwin"):
        return True
    return bool(os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY"))


def open_window(figsize):
    """A pyplot figure on an interactive backend, or None (with the reason) when no window can open."""
    import matplotlib.pyplot as plt
    from matplotlib.backends import BackendFilter, backend_registry
    try:
        figure = plt.figure(figsize=figsize)
    except Exception as e:  # e.g. Tk's "couldn't connect to display"
        return None, str(e).splitlines()[0] if str(e) else type(e).__name__
    backend = plt.get_backend().lower()
    if backend in backend_registry.list_builtin(BackendFilter.NON_INTERACTIVE):
        plt.close(figure)
        return None, f"matplotlib chose the non-interactive backend {backend!r}"
    return figure, None


@contextlib.contextmanager
def stop_signals():
    """For the `with` block: Ctrl-C, SIGTERM and SIGHUP end the view as closing the window does. Yields the
    list the signals that arrived are appended to. A signal raised inside a GUI callback would be swallowed
    by the toolkit and leave the window open: the next refresh looks at the list instead."""
    arrived = []
    if threading.current_thread() is not threading.main_thread():
        yield arrived
        return
    previous = {s: signal.signal(s, lambda signum, frame: arrived.append(signum)) for s in STOP_SIGNALS}
    try:
        yield arrived
    finally:
        for s, handler in previous.items():
            signal.signal(s, handler)


def _show(figure, screen, reader, seconds, stopped):
    """Runs the window until it is closed, `seconds` have passed, the reader ended or a signal was `stopped`."""
    import matplotlib.pyplot as plt
    end = None if seconds is None else time.monotonic() + seconds
    timer = figure.canvas.new_timer(interval=int(REFRESH_SECONDS * 1000))
    cost = [0.0]  # seconds a refresh takes, smoothed

    def tick():
        began = time.monotonic()
        screen.update(reader)
        screen.draw()
        # A machine too slow to draw 20 pictures a second gets fewer: the window spends at most about half
        # the time drawing, whatever a picture costs there, and the rest is left to the reader.
        cost[0] += 0.3 * (time.monotonic() - began - cost[0])
        timer.interval = max(int(REFRESH_SECONDS * 1000), int(2000 * cost[0]))
        if stopped or not reader.is_alive() or (end is not None and time.monotonic() >= end):
            timer.stop()
            plt.close(figure)

    timer.add_callback(tick)
    timer.start()
    plt.show()
    timer.stop()


def _follow(screen, reader, seconds, stopped):
    """Without a window: keeps the figure current, at the window's pace, for `seconds`, until the reader
    ended or a signal was `stopped`."""
    end = None if seconds is None else time.monotonic() + seconds
    while not stopped and reader.is_alive() and (end is None or time.monotonic() < end):
        time.sleep(REFRESH_SECONDS)
        screen.update(reader)


def _lower_priority():
    """Lowers the priority of the calling (drawing) thread alone, so that on a busy machine the kernel runs
    the reader and the board's acquisition thread first; returns the niceness to restore, or None. Linux
    applies niceness per thread; elsewhere this would reach the whole process and is left alone."""
    if not sys.platform.startswith("linux"):
        return None
    tid = threading.get_native_id()
    try:
        previous = os.getpriority(os.PRIO_PROCESS, tid)
        os.setpriority(os.PRIO_PROCESS, tid, min(previous + _DRAWING_NICENESS, 19))
    except OSError:
        return None
    return previous


def _restore_priority(previous):
    # Going back up needs privileges an ordinary user lacks; the command's process ends soon after anyway.
    if previous is not None:
        try:
            os.setpriority(os.PRIO_PROCESS, threading.get_native_id(), previous)
        except OSError:
            pass


def _offscreen_figure(figsize):
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure
    figure = Figure(figsize=figsize)
    FigureCanvasAgg(figure)
    return figure
