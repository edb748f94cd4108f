"""`python3 -m pyzum_zezudi_vu doctor`: what works with the boards on this machine, what does not, what to do."""
import dataclasses
import json

from ..doctor import EXIT_STATUS, examine, print_findings, verdict
from .arguments import positive_float


def add_parser(sub):
    d = sub.add_parser("doctor", help="check the boards, their access, link and libraries; say what to do",
                       description="Checks every FTDI device on the USB bus without opening it (speed, kernel "
                                   "driver, strings), whether this user may open each board and whether another "
                                   "program holds it, usbfs_memory_mb and the library versions; then streams "
                                   "from each board that opens. One line per check: ok, warning or problem, "
                                   "with the thing to do. Exit status 0 all ok, 1 a warning, 2 a problem.")
    d.add_argument("--serial", help="stream from this board only (default: every board that opens)")
    d.add_argument("--seconds", type=positive_float, default=5.0,
                   help="seconds of the streaming test (default: 5)")
    d.add_argument("--json", action="store_true", help="print the checks as one JSON object")


def run(args):
    """Runs every check and prints one line each; returns 0 when all are ok, 1 on a warning, 2 on a problem."""
    findings = examine(args.serial, args.seconds)
    overall = verdict(findings)
    if args.json:
        print(json.dumps({"verdict": overall, "exit_status": EXIT_STATUS[overall],
                          "checks": [dataclasses.asdict(f) for f in findings]}, indent=2))
    else:
        print_findings(findings)
    return EXIT_STATUS[overall]
