"""Argument types and options the commands share; their errors are said in plain words."""
import argparse
import os


def positive_int(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
    if value <= 0:
        raise argparse.ArgumentTypeError(f"{text!r}: must be a positive whole number")
    return value


def non_negative_int(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"{text!r}: must not be negative")
    return value


def positive_float(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
    if not value > 0 or value == float("inf"):
        raise argparse.ArgumentTypeError(f"{text!r}: must be a positive number")
    return value


def add_serial(parser):
    parser.add_argument("--serial", help="serial number of the board (default: the first listed)")


def add_timeout(parser):
    parser.add_argument("--timeout", type=positive_float, default=2.0,
                        help="seconds to wait for data before giving up (default: 2)")


def check_writable(path, option):
    """Refuses, before any board is opened, an output file whose folder is missing or may not be written."""
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise ValueError(f"{option} {path}: the folder {folder} does not exist")
    if not os.access(folder, os.W_OK | os.X_OK):
        raise ValueError(f"{option} {path}: the folder {folder} is not writable by this user")
    if os.path.isdir(path):
        raise ValueError(f"{option} {path}: is a folder, not a file")
