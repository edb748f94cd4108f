"""A picture of the five channels of a capture."""

import numpy as np

from .sink import Sink

CHANNEL_NAMES = ("word 0", "word 1", "word 2", "word 3", "word 4")


def plot_channels(samples, path, title=""):
    """Draws each of the five columns of `samples` (rows, 5) in its own panel and writes a PNG to `path`."""
    try:
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.figure import Figure
    except ImportError as e:
        raise RuntimeError("--plot needs matplotlib (Debian: python3-matplotlib)") from e
    figure = Figure(figsize=(10, 8), layout="constrained")
    FigureCanvasAgg(figure)
    axes = figure.subplots(len(CHANNEL_NAMES), 1, sharex=True)
    for column, (ax, name) in enumerate(zip(axes, CHANNEL_NAMES)):
        ax.plot(samples[:, column], linewidth=0.7)
        ax.set_ylabel(name)
        ax.grid(True, alpha=0.3)
    axes[-1].set_xlabel("frame")
    if title:
        figure.suptitle(title)
    figure.savefig(path, dpi=100)


class FirstRows(Sink):
    """Keeps the first `count` frames of a run's first board, to draw them once it ended."""

    def __init__(self, count):
        self.count = count
        self._parts = []
        self._kept = 0
        self._serial = None

    def begin(self, boards):
        self._serial = boards[0].serial_number

    def take(self, serial, block, arrival_ns, arrival_utc_ns):
        if serial == self._serial and self._kept < self.count:
            self._parts.append(block[:self.count - self._kept].copy())
            self._kept += len(self._parts[-1])

    def rows(self):
        return np.concatenate(self._parts) if self._parts else np.empty((0, 5), np.int16)
