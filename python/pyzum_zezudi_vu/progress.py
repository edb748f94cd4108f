"""A progress bar on a terminal for the commands that run a while."""
import sys


def progress(total, unit):
    """A tqdm bar on a terminal; elsewhere (or without tqdm) an object that ignores updates."""
    if sys.stderr.isatty():
        try:
            from tqdm import tqdm
        except ImportError:
            return NoProgress()
        bar_format = "{l_bar}{bar}| {n:.1f}/{total:.1f} s" if unit == "s" else None
        return tqdm(total=total, unit=unit, leave=False, dynamic_ncols=True, bar_format=bar_format)
    return NoProgress()


class NoProgress:
    def update(self, n=1):
        pass

    def close(self):
        pass
