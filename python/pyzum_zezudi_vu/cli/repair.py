"""`python3 -m pyzum_zezudi_vu repair`: lets every HDF5 tool open a recording whose capture was killed."""
import sys

from ..recording import repair


def add_parser(sub):
    r = sub.add_parser(
        "repair", help="let every HDF5 tool open a recording whose capture was killed",
        description="A capture killed before it closed its HDF5 file (SIGKILL, a power cut, a crash) leaves "
                    "the file marked as open for writing: h5py, h5dump, MATLAB and HDFView refuse it (\"file "
                    "is already open for write\"). What the capture wrote up to its last flush is whole: this "
                    "clears the mark, in place, as HDF5's `h5clear -s` does. A file closed cleanly is left "
                    "as it is.")
    r.add_argument("files", nargs="+", metavar="FILE.h5", help="the recordings to repair")


def run(args):
    """Repairs each file; returns 0, or 1 when one could not be repaired."""
    status = 0
    for path in args.files:
        try:
            marked = repair(path)
        except (OSError, ValueError) as e:
            print(f"error: {path}: {e}", file=sys.stderr)
            status = 1
            continue
        print(f"{path}: " + ("the mark of a writer that did not close it is cleared: every HDF5 tool opens it"
                             if marked else "closed cleanly, nothing to repair"))
    return status
