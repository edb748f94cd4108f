"""`python3 -m pyzum_zezudi_vu list`."""
import sys

from ..board import list_boards
from ..exit_codes import EXIT_NO_BOARD


def add_parser(sub):
    sub.add_parser("list", help="print the serial numbers of the attached boards")


def run(args):
    """Prints the serial numbers of the attached boards; returns the exit status."""
    serials = list_boards()
    if not serials:
        print("No PCB_ROQ board found.", file=sys.stderr)
        return EXIT_NO_BOARD
    for serial in serials:
        print(serial)
    return 0
