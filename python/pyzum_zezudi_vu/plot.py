"""A picture of the five channels of a capture."""

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
