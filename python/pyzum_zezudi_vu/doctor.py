"""`python3 -m pyzum_zezudi_vu doctor`: what works with the boards on this machine, what does not, and what to do.

Every check only looks (sysfs, /proc, opening a device node and closing it at once); the stream test opens
the board as any capture does, which detaches the kernel's serial driver from it.
"""
import dataclasses
import errno
import grp
import math
import os
import platform
import sys

import numpy as np

from . import usb_survey, versions
from .board import NoBoardError, list_boards
from .result import ENDED_QUIET
from .run import run_boards

OK, WARNING, PROBLEM = "ok", "warning", "problem"
EXIT_STATUS = {OK: 0, WARNING: 1, PROBLEM: 2}

RULE_NAME = "70-pcb-roq.rules"
RULE_DIRECTORIES = ["/etc/udev/rules.d", "/run/udev/rules.d", "/usr/lib/udev/rules.d", "/lib/udev/rules.d"]
INSTALL_RULE = ("sudo install -m 644 udev/70-pcb-roq.rules /etc/udev/rules.d/ && sudo udevadm control "
                "--reload-rules && sudo udevadm trigger --subsystem-match=usb --action=add")
JOIN_PLUGDEV = 'sudo usermod -aG plugdev "$USER", then log in again'
# A streaming board keeps 32 transfers of 64 KiB queued; usbfs also counts each URB's own bookkeeping.
USBFS_MIB_PER_BOARD = 2.1
# Full speed moves at most 19 bulk packets of 64 bytes a millisecond, 62 of them stream bytes.
FULL_SPEED_MB_S = 19 * 62 * 1000 / 1e6
OLDEST_TESTED = {"libftdi": (1, 5, 0), "libusb": (1, 0, 26)}


@dataclasses.dataclass
class Finding:
    """One check's result: `advice` is the one thing to do, for every warning or problem."""
    check: str
    verdict: str
    text: str
    advice: str | None = None
    details: dict | None = None


def _version(numbers):
    return ".".join(map(str, numbers)) if numbers else "not found"


def _held_by(path):
    pids = usb_survey.holders(path)
    mine = os.getpid()
    return ", ".join(f"this process ({name}, pid {pid})" if pid == mine else f"{name} (pid {pid})"
                     for pid, name in pids)


def _rule_installed():
    return any(os.path.exists(os.path.join(d, RULE_NAME)) for d in RULE_DIRECTORIES)


def _in_plugdev():
    try:
        return grp.getgrnam("plugdev").gr_gid in os.getgroups()
    except KeyError:
        return False


def _permission_advice(device):
    if not _rule_installed():
        return INSTALL_RULE
    if not _in_plugdev():
        return JOIN_PLUGDEV
    return (f"the rule did not match: `udevadm info -a -n {device.devnode}` shows the strings the board reports; "
            "unplug it and plug it in again")


def _name(device):
    return f"{device.serial or '(no serial)'} at {device.where()}"


def examine_device(device):
    """The findings of one FTDI device, and whether its stream may be tested (it is a board that opens)."""
    strings = f"\"{device.manufacturer}\" / \"{device.product}\""
    if device.kind == "foreign":
        return [Finding("device", OK, f"{device.chip} at {device.where()}, strings {strings}: not a PCB_ROQ "
                                      "board, left alone")], False
    if device.kind == "blank":
        return [Finding("device", WARNING,
                        f"{device.chip} at {device.where()} with the chip's own strings {strings}: an "
                        "unprogrammed board (or someone else's adapter), not listed as a PCB_ROQ board",
                        "if it is a PCB_ROQ board, write its EEPROM: manufacturer \"ZUM\", product \"PCB_ROQ\" "
                        "and its serial number (libftdi's ftdi_eeprom, Debian package ftdi-eeprom)")], False
    findings = [Finding("device", OK, f"{_name(device)}: {device.chip}, strings {strings}")]
    testable = True
    if device.speed_mbit is not None and device.speed_mbit < 480:
        findings.append(Finding(
            "speed", WARNING,
            f"{device.serial}: a {device.speed_mbit:g} Mbit/s link (full speed): at most about "
            f"{FULL_SPEED_MB_S:.1f} MB/s arrives, and a board writing faster overflows its FIFO",
            "plug the board into a USB 2.0 (high-speed) port of the computer, not through a USB 1.1 hub"))
    elif device.speed_mbit is not None:
        findings.append(Finding("speed", OK, f"{device.serial}: high speed ({device.speed_mbit:g} Mbit/s)"))
    refused = usb_survey.may_open(device.devnode)
    if refused in (errno.EACCES, errno.EPERM):
        findings.append(Finding("permission", PROBLEM,
                                f"{device.serial}: this user may not open {device.devnode}",
                                _permission_advice(device)))
        return findings, False
    if refused is not None:
        findings.append(Finding("permission", PROBLEM,
                                f"{device.serial}: {device.devnode} did not open ({os.strerror(refused)})",
                                f"check that {device.devnode} exists (a container needs /dev/bus/usb)"))
        return findings, False
    findings.append(Finding("permission", OK, f"{device.serial}: this user may open {device.devnode}"))
    if device.driver == "usbfs":
        held = _held_by(device.devnode)
        if held:
            findings.append(Finding("busy", PROBLEM, f"{device.serial}: claimed by {held}",
                                    "close the board in that program, or end it"))
        else:
            findings.append(Finding("busy", PROBLEM,
                                    f"{device.serial}: claimed by a program this user cannot see",
                                    f"`sudo fuser -v {device.devnode}` names it; close the board there"))
        testable = False
    elif device.driver is not None:
        held = ", ".join(f"{who} has {tty} open" for tty in device.ttys if (who := _held_by(tty)))
        if held:
            findings.append(Finding("driver", WARNING,
                                    f"{device.serial}: the kernel's {device.driver} holds the board as a serial "
                                    f"port and {held}: opening the board takes the port from it",
                                    "end that program (a serial console, ModemManager) before opening the board"))
        else:
            findings.append(Finding("driver", OK, f"{device.serial}: the kernel's {device.driver} holds "
                                                  "interface 0; opening the board detaches it"))
    return findings, testable


def examine_usbfs_memory(boards):
    limit = usb_survey.usbfs_memory_mb()
    if limit is None or boards == 0:
        return []
    if limit == 0:
        return [Finding("usbfs memory", OK, "usbfs_memory_mb is 0: no limit on transfers in flight")]
    fit = math.floor(limit / USBFS_MIB_PER_BOARD)
    text = (f"usbfs_memory_mb is {limit}: room for the transfers of {fit} streaming board{'s' * (fit != 1)} "
            f"(about {USBFS_MIB_PER_BOARD} MiB each); {boards} present")
    if boards > fit:
        wanted = max(256, math.ceil(boards * USBFS_MIB_PER_BOARD * 2))
        return [Finding("usbfs memory", PROBLEM, text,
                        f"echo {wanted} | sudo tee {usb_survey.USBFS_MEMORY_MB} (until the next boot; "
                        f"usbcore.usbfs_memory_mb={wanted} on the kernel's command line keeps it)")]
    return [Finding("usbfs memory", OK, text)]


def examine_versions():
    ours = versions.package_version()
    libraries = versions.library_versions()
    details = {name: _version(found) for name, found in libraries.items()}
    text = (f"pyzum_zezudi_vu {ours}, libftdi {_version(libraries['libftdi'])}, libusb "
            f"{_version(libraries['libusb'])}, Python {platform.python_version()}, NumPy {np.__version__}")
    old = [f"{name} {_version(found)} (tested from {_version(OLDEST_TESTED[name])})"
           for name, found in libraries.items() if found is not None and found < OLDEST_TESTED[name]]
    if old:
        return [Finding("versions", WARNING, text + "; older than tested: " + ", ".join(old),
                        "install newer libraries (Debian: libftdi1-2, libusb-1.0-0 from a current release)",
                        details)]
    return [Finding("versions", OK, text, details=details)]


def examine_stream(serial, seconds, samples_count=4096):
    """Streams from one board for `seconds` and judges what arrived, as a capture would."""
    try:
        result = run_boards([serial], samples_count, 2.0, seconds=seconds).boards[0]
    except NoBoardError as e:
        return Finding("stream", PROBLEM, f"{serial}: {e}",
                       "unplug the board and plug it in again; if it still does not open, run doctor as root "
                       "once to tell a permission problem from a broken board")
    if result.ended == ENDED_QUIET:
        return Finding("stream", PROBLEM, f"{serial}: the board sent nothing for 2 s",
                       "check the board's power and that its firmware streams (the docs' page "
                       "\"Diagnose a board\", section \"stream\")")
    summary = result.as_dict()
    text = (f"{serial}: {result.seconds:.1f} s at {result.rate_mb_s:.1f} MB/s, {result.check.frames} "
            f"frames in {result.blocks} blocks, ")
    if result.whole:
        return Finding("stream", OK, text + "arrived whole", details=summary)
    health = result.health
    advice = "the docs' page \"The board's counters\" says what each counter means"
    if health.transfers_refused:
        advice = f"raise usbfs_memory_mb: echo 256 | sudo tee {usb_survey.USBFS_MEMORY_MB}"
    elif health.transfers_ran_out or health.wait_for_block_s:
        advice = "close what keeps this machine busy, or give the reading program a higher priority"
    return Finding("stream", PROBLEM, text + result.verdict, advice, details=summary)


def examine(serial=None, seconds=5.0):
    """Every check, in the order they are shown: a list of Findings."""
    devices = usb_survey.ftdi_devices()
    listed = list_boards()
    if not devices and not listed:
        # One line says it all: the thing to do is part of it.
        return [Finding("boards", PROBLEM, "no PCB_ROQ board: no FTDI device is on the USB bus; plug the board "
                                           "in (check the cable and the board's power)")]
    findings = []
    testable = []
    for device in devices:
        found, streams = examine_device(device)
        findings += found
        if streams and device.serial is not None:
            testable.append(device.serial)
    seen = {d.serial for d in devices}
    for name in listed:
        if name not in seen:  # a simulated board, or one that sysfs does not show
            findings.append(Finding("device", OK, f"{name}: listed by libftdi, not in {usb_survey.SYSFS_DEVICES}"))
            testable.append(name)
    boards = sum(d.kind == "board" for d in devices) + sum(name not in seen for name in listed)
    findings += examine_usbfs_memory(boards)
    findings += examine_versions()
    if serial is not None:
        if serial in testable:
            testable = [serial]
        else:
            findings.append(Finding("boards", PROBLEM, f"no board {serial} to stream from",
                                    f"`python3 -m pyzum_zezudi_vu list` shows the boards that open; {serial} "
                                    "is not among those found above"))
            testable = []
    elif boards == 0:
        findings.append(Finding("boards", PROBLEM, "no PCB_ROQ board among the FTDI devices above",
                                "plug the board in, or mend what the lines above name"))
    for name in testable:
        findings.append(examine_stream(name, seconds))
    return findings


def verdict(findings):
    return max((f.verdict for f in findings), key=EXIT_STATUS.get, default=OK)


def print_findings(findings, out=None):
    out = out or sys.stdout
    for f in findings:
        print(f"{f.verdict:<8} {f.check:<13} {f.text}", file=out)
        if f.advice:
            print(f"{'':<8} {'':<13} to do: {f.advice}", file=out)
