#!/usr/bin/env python3
"""Builds every configuration and runs every test stage inside the build root; ends with one summary line.

Runs inside the sid build root (tools/devroot run); the stages against Debian 12's libusb 1.0.26 and libftdi
1.5 run in the other root (tools/devroot --libftdi 1.5), built in build/ftdi15. Each stage line names the
libftdi and the libusb its tests ran on: the root's real libusb (over the emulated usbfs), the simulator's
stand-in, or both (a ctest stage: its usbfs suites and the others).

Each stage records JUnit XML under build/results/; the totals are read back from there, so a stage that
crashes before writing its report (or is ended by a time limit) still counts as a failure. Tests that
measure something record it as a `figure` property; the figures are listed before the summary.

Every test has a time limit. ctest ends a test after CTEST_TIMEOUT seconds. A Python test fails after
PYTEST_TIMEOUT seconds with its traceback (pytest-timeout, signal method) and the run goes on, as long as the
stuck call gets back to the interpreter (the module's waits do); one stuck in C that never does, with the
GIL held or not, gets every thread's Python stack printed a minute later by faulthandler, which then ends
the run (its stage then has no report and fails). A failed test's teardown runs without either watchdog, so a
whole Python stage has a limit too (STAGE_TIMEOUT): past it every thread's stack is printed and the stage ends,
counted as failed, and the other stages still run.

    run_tests.py           every stage (PYZUM_QUICK=1: the plain build's C++ and Python tests and the docs)
    run_tests.py --soak    the soak and stress tests at full length (make soak)

PYZUM_TEST_LOAD=N runs N CPU-bound processes beside the whole run: the tests must hold on a busy machine.
"""
import os
import pathlib
import shutil
import signal
import subprocess
import sys
import time
import xml.etree.ElementTree as ET

REPO = pathlib.Path(__file__).resolve().parent.parent
RESULTS = REPO / "build" / "results"
SIM_LIB = "sim/libpcb_roq_sim.so"
USBFS_LIB = "sim/libpcb_roq_usbfs.so"
# The module's functional suites, run once more on the real libusb over the usbfs front end. The others measure
# rates and timing, which only the stand-in is true to (the emulated usbfs costs 100-200 us an ioctl).
USBFS_SUITES = tuple(f"tests/python/{name}.py" for name in (
    "test_module", "test_board_surface", "test_board_arguments", "test_board_samples", "test_board_raw",
    "test_board_control", "test_board_threads", "test_board_hostile", "test_board_timeout", "test_board_waiting",
    "test_refusals", "test_faults_device", "test_faults_stream", "test_faults_usb_host", "test_companion_health",
    "test_companion_doctor"))
QUICK = os.environ.get("PYZUM_QUICK") == "1"  # developer shortcut: plain build only
# PYZUM_TEST_LOAD=N: N CPU-bound processes run beside the whole run, as on a machine busy with other work.
LOAD = int(os.environ.get("PYZUM_TEST_LOAD", "0") or 0)
# Per-test limits, generous for a loaded two-core machine; a hang costs this long, nothing else does.
CTEST_TIMEOUT = 600
PYTEST_TIMEOUT = 300
SOAK_LONG_TIMEOUT = 900
STAGE_TIMEOUT = 30 * 60  # a Python stage; the longest takes under 3 minutes on a quiet two-core machine

SID = "sid"      # this root, with sid's libftdi
LIBFTDI15 = "1.5"  # the root with Debian 12's libusb 1.0.26 and libftdi 1.5
BUILD15 = "build/ftdi15"


def sh(cmd, extra_env=None, root=SID, limit=None, **kw):
    """Runs cmd in this root or, for LIBFTDI15, in the other one, with extra_env added for cmd alone; after
    `limit` seconds it is ended (its return code then negative)."""
    extra_env = extra_env or {}
    if root == LIBFTDI15:
        # Set inside the other root only: tools/devroot and its helpers must not load a preload meant for cmd.
        cmd = ["tools/devroot", "--libftdi", "1.5", "run", "env", *(f"{k}={v}" for k, v in extra_env.items()),
               *cmd]
        extra_env = {}
    print("+", " ".join(str(c) for c in cmd), flush=True)
    if limit is None:
        return subprocess.run(cmd, cwd=REPO, env=dict(os.environ, **extra_env), **kw).returncode
    # A group of its own, so that the wrapper of the other root and what runs inside it end together.
    with subprocess.Popen(cmd, cwd=REPO, env=dict(os.environ, **extra_env), process_group=0, **kw) as proc:
        try:
            return proc.wait(timeout=limit)
        except subprocess.TimeoutExpired:
            print(f"+ still running after {limit} s: every thread's stack, then it is ended", flush=True)
            end_group(proc, signal.SIGABRT)  # pytest's faulthandler prints the stacks on SIGABRT
            return proc.returncode
        except KeyboardInterrupt:  # Ctrl-C reached this process only: the group is not in the foreground
            end_group(proc, signal.SIGINT)
            raise


def end_group(proc, first):
    """Sends `first` to proc's process group, then kills what is left of it after 30 s."""
    try:
        os.killpg(proc.pid, first)
        proc.wait(timeout=30)
    except subprocess.TimeoutExpired:
        pass
    except ProcessLookupError:
        return
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    proc.wait()


def package_version(package, root):
    """A library's Debian version in that root, as the dynamic linker will find it."""
    cmd = ["dpkg-query", "-W", "-f=${Version}", package]
    if root == LIBFTDI15:
        cmd = ["tools/devroot", "--libftdi", "1.5", "run", *cmd]
    out = subprocess.run(cmd, cwd=REPO, capture_output=True, text=True)
    return out.stdout.strip() if out.returncode == 0 else "unknown"


def stack_of(root):
    """(libftdi, libusb) versions of a root."""
    return package_version("libftdi1-2", root), package_version("libusb-1.0-0", root).split(":")[-1]


def configure_and_build(build_dir, *flags, root=SID):
    if sh(["cmake", "-S", ".", "-B", build_dir, "-G", "Ninja", "-Wno-dev", *flags],
          stdout=subprocess.DEVNULL, root=root) != 0:
        return False
    return sh(["cmake", "--build", build_dir], root=root) == 0


def ctest(name, build_dir, extra_env=None, root=SID):
    report = RESULTS / f"ctest-{name}.xml"
    sh(["ctest", "--test-dir", build_dir, "--output-on-failure", "--timeout", str(CTEST_TIMEOUT),
        "--output-junit", str(report)], extra_env, root=root)
    return report


def pytest(name, build_dir, extra_env=None, args=(), paths=("tests/python",), preload_first=(), root=SID,
           timeout=PYTEST_TIMEOUT, front_end="libusb", stage_limit=STAGE_TIMEOUT):
    """front_end "usbfs": the real libusb, with the boards on an emulated usbfs (ours, then umockdev's preload)."""
    env = dict(extra_env or {})
    sim = REPO / build_dir / (SIM_LIB if front_end == "libusb" else USBFS_LIB)
    preload = list(preload_first) + [p for p in os.environ.get("LD_PRELOAD", "").split(":") if p]
    if sim.exists():
        preload.append(str(sim))
        if front_end == "usbfs":
            preload.append("libumockdev-preload.so.0")
    elif front_end == "usbfs":
        return None
    env["LD_PRELOAD"] = ":".join(preload)
    env["PYTHONPATH"] = os.pathsep.join([str(REPO / build_dir / "python"), str(REPO / "python")])
    env["PYZUM_BUILD_DIR"] = str(REPO / build_dir)
    report = RESULTS / f"pytest-{name}.xml"
    # xunit1 keeps the properties tests record (their figures) in the report without a warning.
    rc = sh([sys.executable if root == SID else "python3", "-m", "pytest", "-q", "-p", "no:cacheprovider", *paths,
             f"--junitxml={report}", "-o", "junit_family=xunit1",
             f"--timeout={timeout}", "--timeout-method=signal", "-o", f"faulthandler_timeout={timeout + 60}",
             "-o", "faulthandler_exit_on_timeout=true", *args], env, root=root,
            limit=stage_limit)
    if rc == 5:  # no tests collected yet
        return None
    return report


def sanitizer_runtimes():
    """The GCC sanitizer runtimes an uninstrumented interpreter must load first to host an ASan+UBSan module."""
    names = ("libasan.so", "libubsan.so")
    return [subprocess.run(["gcc", f"-print-file-name={n}"], capture_output=True, text=True).stdout.strip()
            for n in names]


def pytest_asan():
    """The Python suite once against an ASan+UBSan build of the extension and of the simulated board."""
    d = "build/asan-py"
    if not configure_and_build(d, "-DPYZUM_SANITIZE=address", "-DPYZUM_BUILD_TESTS=OFF"):
        return False
    # The interpreter itself is not instrumented: its own allocations would read as leaks.
    env = {"ASAN_OPTIONS": "detect_leaks=0:abort_on_error=1",
           "UBSAN_OPTIONS": "print_stacktrace=1:halt_on_error=1",
           "PYZUM_SANITIZED": "1"}  # tests whose point is speed relax or skip there
    return pytest("asan", d, env, preload_first=sanitizer_runtimes())


def pytest_asan_usbfs():
    """The functional suites against the same ASan+UBSan build, on the real libusb over the usbfs front end."""
    env = {"ASAN_OPTIONS": "detect_leaks=0:abort_on_error=1",
           "UBSAN_OPTIONS": "print_stacktrace=1:halt_on_error=1",
           "PYZUM_SANITIZED": "1"}
    return pytest("asan-usbfs", "build/asan-py", env, paths=USBFS_SUITES, preload_first=sanitizer_runtimes(),
                  front_end="usbfs")


def fuzz_corpus():
    """The decoder's seed corpus, replayed once by the libFuzzer build (clang, ASan+UBSan)."""
    return sh([sys.executable, str(REPO / "tests" / "fuzz" / "run_fuzz.py"), "--replay"]) == 0


def soak(name, build_dir, long):
    env = {"PYZUM_SOAK": "long" if long else "short"}
    if long:
        return pytest(name, build_dir, env, paths=("tests/soak",), timeout=SOAK_LONG_TIMEOUT, stage_limit=None)
    return pytest(name, build_dir, env, paths=("tests/soak",))


def wheel_check():
    """The install the README documents: pip, without build isolation, into a fresh venv that sees the system's
    packages (the build dependencies come from the distribution; no network); the module imports and the
    console script runs."""
    out = REPO / "build" / "wheel"
    shutil.rmtree(out, ignore_errors=True)
    venv = out / "venv"
    ok = sh([sys.executable, "-m", "venv", "--system-site-packages", str(venv)]) == 0
    ok = ok and sh([str(venv / "bin" / "pip"), "install", "--no-build-isolation", "--no-index", ".",
                    "--config-settings=build-dir=" + str(out / "cmake")]) == 0
    # Run from / so the build tree cannot shadow the installed module.
    ok = ok and subprocess.run([str(venv / "bin" / "python"), "-c",
                                "import _pyzum_zezudi_vu as m; print('installed module imports', m.__file__)"],
                               cwd="/").returncode == 0
    ok = ok and subprocess.run([str(venv / "bin" / "pyzum-zezudi-vu"), "--help"], cwd="/",
                               stdout=subprocess.DEVNULL).returncode == 0
    return ok


def docs_check():
    """The documentation builds with warnings as errors, and its pages' examples run on the simulated board."""
    return pytest("docs", "build", paths=("tests/docs",))


def count(report):
    """(passed, failed) of a JUnit report; a missing report, from a run that crashed or hit a limit, fails."""
    if report is None or not report.exists():
        return 0, 1
    root = ET.parse(report).getroot()
    suites = [root] if root.tag == "testsuite" else root.findall("testsuite")
    total = failed = skipped = 0
    for s in suites:
        total += int(s.get("tests", 0))
        failed += int(s.get("failures", 0)) + int(s.get("errors", 0))
        skipped += int(s.get("skipped", 0) or s.get("disabled", 0) or 0)
    return total - failed - skipped, failed


def figures(report):
    """(test name, figure) recorded by the tests of one JUnit report."""
    if report is None or isinstance(report, bool) or not report.exists():
        return []
    found = []
    for case in ET.parse(report).getroot().iter("testcase"):
        for prop in case.iter("property"):
            if prop.get("name") == "figure":
                found.append(prop.get("value"))
    return found


def start_load(count):
    """`count` processes that each keep one core busy until killed."""
    if count > 0:
        print(f"+ {count} CPU-bound processes beside the run (PYZUM_TEST_LOAD)", flush=True)
    return [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(count)]


def main():
    load = start_load(LOAD)
    try:
        return run_all()
    finally:
        for p in load:
            p.kill()
            p.wait()


def run_all():
    shutil.rmtree(RESULTS, ignore_errors=True)
    RESULTS.mkdir(parents=True)
    passed = failed = 0
    stages = []
    measured = []
    long_soak = "--soak" in sys.argv[1:]
    versions = {}

    def add(name, result, began=None, root=SID, usb="stand-in"):
        """Records a stage; root None for one that does not use libftdi. usb says which libusb its tests ran
        on: "real" (the root's, over the emulated usbfs), "stand-in" (the simulator's) or "both"."""
        nonlocal passed, failed
        took = f" ({time.monotonic() - began:.0f} s)" if began is not None else ""
        label = name
        if root is not None:
            if root not in versions:
                versions[root] = stack_of(root)
            ftdi, libusb = versions[root]
            stack = f"libftdi {ftdi}, " + {"real": f"libusb {libusb}", "stand-in": "libusb stand-in",
                                           "both": f"libusb {libusb} and the stand-in"}[usb]
            if root != SID:
                label = f"{name}, {stack}"
            name = f"{name}, {stack}"
        if result is None:
            stages.append(f"{name}: no tests{took}")
            return
        if isinstance(result, bool):
            p, f = (1, 0) if result else (0, 1)
        else:
            p, f = count(result)
            if not result.exists():
                took += " no report: crashed or ended by a time limit"
            if "asan" not in name:  # the same tests' figures, only slowed down by the sanitizers
                measured.extend(f"[{label}] {text}" for text in figures(result))
        passed += p
        failed += f
        stages.append(f"{name}: {p} passed, {f} failed{took}")

    began = time.monotonic()
    if not configure_and_build("build"):
        add("build", False)
    elif long_soak:
        add("soak", soak("soak", "build", long=True), began)
    else:
        began = time.monotonic()
        add("ctest", ctest("plain", "build"), began, usb="both")
        began = time.monotonic()
        add("pytest", pytest("plain", "build"), began)
        began = time.monotonic()
        add("pytest-usbfs", pytest("usbfs", "build", paths=USBFS_SUITES, front_end="usbfs"), began, usb="real")
        began = time.monotonic()
        add("docs", docs_check(), began)
        if not QUICK:
            # The plain suites once more against the libusb and libftdi most users have.
            began = time.monotonic()
            if configure_and_build(BUILD15, root=LIBFTDI15):
                add("ctest", ctest("libftdi15", BUILD15, root=LIBFTDI15), began, LIBFTDI15, usb="both")
                began = time.monotonic()
                add("pytest", pytest("libftdi15", BUILD15, root=LIBFTDI15), began, LIBFTDI15)
                began = time.monotonic()
                add("pytest-usbfs", pytest("usbfs-libftdi15", BUILD15, paths=USBFS_SUITES, root=LIBFTDI15,
                                           front_end="usbfs"), began, LIBFTDI15, usb="real")
            else:
                add("build", False, began, LIBFTDI15)
            began = time.monotonic()
            add("soak-short", soak("soak-short", "build", long=False), began)
            for kind in ("address", "thread"):
                began = time.monotonic()
                d = f"build/{'asan' if kind == 'address' else 'tsan'}"
                if configure_and_build(d, f"-DPYZUM_SANITIZE={kind}", "-DPYZUM_BUILD_MODULE=OFF",
                                       "-DCMAKE_BUILD_TYPE=Debug"):
                    add(f"ctest-{kind}", ctest(kind, d, {"ASAN_OPTIONS": "detect_leaks=1",
                                                          "TSAN_OPTIONS": "halt_on_error=1"}), began, usb="both")
                else:
                    add(f"build-{kind}", False)
            began = time.monotonic()
            result = pytest_asan()
            add("pytest-asan" if result is not False else "build-asan-py", result, began)
            if result is not False:
                began = time.monotonic()
                add("pytest-asan-usbfs", pytest_asan_usbfs(), began, usb="real")
            began = time.monotonic()
            add("fuzz-corpus", fuzz_corpus(), began, root=None)  # the decoder alone
            began = time.monotonic()
            add("wheel", wheel_check(), began, root=None)  # imports the module only

    print()
    if measured:
        print("figures:")
        for text in measured:
            print("  " + text)
    print("stages:")
    for s in stages:
        print("  " + s)
    print(f"{passed} passed, {failed} failed; libftdi " + " and ".join(sorted({f for f, _ in versions.values()}))
          + "; libusb " + " and ".join(sorted({u for _, u in versions.values()}))
          + (f"; {LOAD} CPU-bound processes beside it" if LOAD else ""))
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
