#!/usr/bin/env python3
"""Builds every configuration and runs every test stage inside the build root; ends with one summary line.

Each stage records JUnit XML under build/results/; the totals are read back from there, so a stage that
crashes before writing its report still counts as a failure.
"""
import os
import pathlib
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ET

REPO = pathlib.Path(__file__).resolve().parent.parent
RESULTS = REPO / "build" / "results"
SIM_LIB = "sim/libpcb_roq_sim.so"
QUICK = os.environ.get("PYZUM_QUICK") == "1"  # developer shortcut: plain build only


def sh(cmd, **kw):
    print("+", " ".join(str(c) for c in cmd), flush=True)
    return subprocess.run(cmd, cwd=REPO, **kw).returncode


def configure_and_build(build_dir, *flags):
    if sh(["cmake", "-S", ".", "-B", build_dir, "-G", "Ninja", "-Wno-dev", *flags],
          stdout=subprocess.DEVNULL) != 0:
        return False
    return sh(["cmake", "--build", build_dir]) == 0


def ctest(name, build_dir, extra_env=None):
    env = dict(os.environ, **(extra_env or {}))
    report = RESULTS / f"ctest-{name}.xml"
    sh(["ctest", "--test-dir", build_dir, "--output-on-failure", "--timeout", "600",
        "--output-junit", str(report)], env=env)
    return report


def pytest(name, build_dir, extra_env=None, args=()):
    env = dict(os.environ, **(extra_env or {}))
    sim = REPO / build_dir / SIM_LIB
    preload = [p for p in env.get("LD_PRELOAD", "").split(":") if p]
    if sim.exists():
        preload.append(str(sim))
    env["LD_PRELOAD"] = ":".join(preload)
    env["PYTHONPATH"] = os.pathsep.join([str(REPO / build_dir / "python"), str(REPO / "python")])
    env["PYZUM_BUILD_DIR"] = str(REPO / build_dir)
    report = RESULTS / f"pytest-{name}.xml"
    rc = sh([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "tests/python",
             f"--junitxml={report}", *args], env=env)
    if rc == 5:  # no tests collected yet
        return None
    return report


def wheel_check():
    """pip builds and installs the module without network; a venv that sees system packages imports it."""
    out = REPO / "build" / "wheel"
    shutil.rmtree(out, ignore_errors=True)
    ok = sh([sys.executable, "-m", "pip", "wheel", ".", "--no-build-isolation", "--no-deps", "--no-index",
             "-w", str(out / "dist"), "--config-settings=build-dir=" + str(out / "cmake")]) == 0
    venv = out / "venv"
    ok = ok and sh([sys.executable, "-m", "venv", "--system-site-packages", str(venv)]) == 0
    wheels = sorted((out / "dist").glob("*.whl"))
    ok = ok and bool(wheels) and sh([str(venv / "bin" / "pip"), "install", "--no-deps", "--no-index",
                                     str(wheels[-1])]) == 0
    # Run from / so the build tree cannot shadow the installed module.
    ok = ok and subprocess.run([str(venv / "bin" / "python"), "-c",
                                "import _pyzum_zezudi_vu as m; print('wheel imports', m.__file__)"],
                               cwd="/").returncode == 0
    return ok


def count(report):
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


def main():
    shutil.rmtree(RESULTS, ignore_errors=True)
    RESULTS.mkdir(parents=True)
    passed = failed = 0
    stages = []

    def add(name, result):
        nonlocal passed, failed
        if result is None:
            stages.append(f"{name}: no tests")
            return
        if isinstance(result, bool):
            p, f = (1, 0) if result else (0, 1)
        else:
            p, f = count(result)
        passed += p
        failed += f
        stages.append(f"{name}: {p} passed, {f} failed")

    if not configure_and_build("build"):
        add("build", False)
    else:
        add("ctest", ctest("plain", "build"))
        add("pytest", pytest("plain", "build"))
        if not QUICK:
            for kind in ("address", "thread"):
                d = f"build/{'asan' if kind == 'address' else 'tsan'}"
                if configure_and_build(d, f"-DPYZUM_SANITIZE={kind}", "-DPYZUM_BUILD_MODULE=OFF",
                                       "-DCMAKE_BUILD_TYPE=Debug"):
                    add(f"ctest-{kind}", ctest(kind, d, {"ASAN_OPTIONS": "detect_leaks=1",
                                                          "TSAN_OPTIONS": "halt_on_error=1"}))
                else:
                    add(f"build-{kind}", False)
            add("wheel", wheel_check())

    print()
    for s in stages:
        print("  " + s)
    print(f"{passed} passed, {failed} failed")
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
