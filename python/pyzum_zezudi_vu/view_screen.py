"""The view's figure: five stacked panels of the newest frames, thinned to what the screen can show."""
import time

import numpy as np

from .frames import FRAME_BYTES, WORDS
from .plot import CHANNEL_NAMES
from .view_reader import health_line

# A panel's value range follows data that left it at most this often, and narrows at most this often: each
# change redraws the whole figure.
MOVE_SECONDS = 0.5
NARROW_SECONDS = 2.0
# Min/max pairs per panel: about one pixel column each at the window's size.
ENVELOPE_BUCKETS = 1000


def envelope(rows, first_frame, buckets=ENVELOPE_BUCKETS):
    """(x, y) that draw `rows` (frames, words) with at most 2 * `buckets` points a word.

    Each bucket of frames becomes its minimum and its maximum, so a spike of one frame still shows. Buckets
    are counted back from the newest frame, which is always drawn; the oldest frames that fill no whole
    bucket are left out. `first_frame` is the number of the first row.
    """
    n = len(rows)
    if n <= 2 * buckets:
        return np.arange(first_frame, first_frame + n), rows
    step = -(-n // buckets)
    count = n // step
    skipped = n - count * step
    groups = rows[skipped:].reshape(count, step, rows.shape[1])
    y = np.empty((2 * count, rows.shape[1]), rows.dtype)
    y[0::2] = groups.min(axis=1)
    y[1::2] = groups.max(axis=1)
    starts = first_frame + skipped + step * np.arange(count)
    x = np.empty(2 * count, np.int64)
    x[0::2] = starts
    x[1::2] = starts + step - 1
    return x, y


class Screen:
    """Five stacked panels sharing the frame axis, with the board, the stream rate and the health line
    in the title.

    The frame axis counts back from the newest frame, so it stays put while the signals scroll along it. On a
    canvas that can blit, a refresh redraws only the lines and the title over a saved picture of the rest;
    the whole figure is drawn again only when a panel's value range had to change (or the window did).
    """

    def __init__(self, figure, serial, window):
        self.figure = figure
        self.serial = serial
        self.window = window
        self.axes = figure.subplots(WORDS, 1, sharex=True)
        self.lines = []
        for ax, name in zip(self.axes, CHANNEL_NAMES):
            self.lines.append(ax.plot([], [], linewidth=0.7)[0])
            ax.set_ylabel(name)
            ax.grid(True, alpha=0.3)
            ax.set_ylim(-1, 1)
        self.axes[-1].set_xlabel("frames before the newest")
        self.axes[-1].set_xlim(-window, 0)
        self.title = figure.suptitle(f"PCB_ROQ {serial}")
        self.blitting = bool(getattr(figure.canvas, "supports_blit", False)) and hasattr(figure.canvas, "blit")
        self._background = None
        self._limits_changed = True
        self._full_drawn = -NARROW_SECONDS
        if self.blitting:
            for artist in (*self.lines, self.title):
                artist.set_animated(True)
            figure.canvas.mpl_connect("draw_event", self._keep_background)
        self.refreshes = 0
        self.rate = 0.0
        self._mark = (time.monotonic(), 0)

    def update(self, reader):
        """Puts the newest window of the ring into the panels and the title; `draw` shows them."""
        rows, total = reader.ring.newest()
        if len(rows):
            x, y = envelope(rows, -len(rows))
            since = time.monotonic() - self._full_drawn
            for column, (ax, line) in enumerate(zip(self.axes, self.lines)):
                line.set_data(x + 1, y[:, column])
                self._fit(ax, int(y[:, column].min()), int(y[:, column].max()), since)
        now = time.monotonic()
        then, frames_then = self._mark
        if now - then >= 0.5:
            frames = reader.check.frames
            self.rate = (frames - frames_then) * FRAME_BYTES / 1e6 / (now - then)
            self._mark = (now, frames)
        self.title.set_text(f"PCB_ROQ {self.serial}   {self.rate:.1f} MB/s   {reader.blocks} blocks\n"
                            f"{health_line(reader)}")
        self.refreshes += 1

    def _fit(self, ax, low, high, since_full_draw=float("inf")):
        """Moves a panel's range over data that left it, or narrows it when the data fill less than a quarter
        of it. Each change costs a full redraw, so ranges move at most every MOVE_SECONDS (data beyond the
        range are cut off at its edge meanwhile) and narrow at most every NARROW_SECONDS."""
        bottom, top = ax.get_ylim()
        span = max(1.0, float(high - low))
        if low >= bottom and high <= top:
            if span >= (top - bottom) / 4 or since_full_draw < NARROW_SECONDS:
                return
        elif since_full_draw < MOVE_SECONDS:
            return
        pad = span * 0.1
        ax.set_ylim(low - pad, high + pad)
        self._limits_changed = True

    def settle(self, reader):
        """The last refresh, for a picture to keep: every range fitted to the data and nothing left to the
        next blit (a saved figure leaves out what is drawn only by blitting)."""
        self.update(reader)
        rows, _ = reader.ring.newest()
        if len(rows):
            for column, ax in enumerate(self.axes):
                ax.set_ylim(-1, 1)  # so that the fit starts afresh
                self._fit(ax, int(rows[:, column].min()), int(rows[:, column].max()))
        for artist in (*self.lines, self.title):
            artist.set_animated(False)

    def _keep_background(self, event):
        self._background = self.figure.canvas.copy_from_bbox(self.figure.bbox)

    def draw(self):
        """Shows the state of the last `update` on the canvas."""
        canvas = self.figure.canvas
        if not self.blitting:
            canvas.draw()
            return
        if self._limits_changed or self._background is None:
            canvas.draw()  # the draw event saves the new background, without the lines and the title
            self._limits_changed = False
            self._full_drawn = time.monotonic()
        else:
            canvas.restore_region(self._background)
        for ax, line in zip(self.axes, self.lines):
            ax.draw_artist(line)
        self.figure.draw_artist(self.title)
        canvas.blit(self.figure.bbox)
