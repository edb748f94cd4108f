"""How long the soak runs: PYZUM_SOAK=long (make soak) for the full lengths, short otherwise (make test)."""
import os

LONG = os.environ.get("PYZUM_SOAK") == "long"


def length(short, long):
    """The size of a soak: `long` under make soak, `short` otherwise."""
    return long if LONG else short
