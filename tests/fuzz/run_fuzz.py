#!/usr/bin/env python3
"""Builds and runs the decoder's fuzz target (inside the build root).

  run_fuzz.py --replay          plays the seed corpus once under ASan+UBSan (what make test does)
  run_fuzz.py [--seconds N]     fuzzes for N seconds (default 300, or $FUZZ_SECONDS) from the seeds plus the
                                working corpus under build/fuzz/corpus, then replays that corpus through a gcov
                                build and reports executions, libFuzzer's coverage and the decoder's line and
                                branch coverage (also written to build/fuzz/summary.txt)

A crash leaves its input in build/fuzz/artifacts/; replay it with build/fuzz/decoder_fuzzer FILE.
"""
import argparse
import os
import pathlib
import re
import shutil
import subprocess
import sys

REPO = pathlib.Path(__file__).resolve().parents[2]
SEEDS = REPO / "tests" / "fuzz" / "corpus"
BUILD = REPO / "build" / "fuzz"
DECODER = "simple_decoder.hpp"


def sh(cmd, **kw):
    print("+", " ".join(str(c) for c in cmd), flush=True)
    return subprocess.run(cmd, **kw)


def build(build_dir, *flags):
    configure = ["cmake", "-S", str(REPO / "tests" / "fuzz"), "-B", str(build_dir), "-G", "Ninja", *flags]
    if sh(configure, stdout=subprocess.DEVNULL).returncode != 0:
        return False
    return sh(["cmake", "--build", str(build_dir)]).returncode == 0


def replay():
    if not build(BUILD, "-DCMAKE_CXX_COMPILER=clang++"):
        return 1
    seeds = sorted(SEEDS.iterdir())
    rc = sh([str(BUILD / "decoder_fuzzer"), *map(str, seeds)], stderr=subprocess.PIPE, text=True)
    if rc.returncode != 0:
        print(rc.stderr[-4000:], file=sys.stderr)
        print(f"fuzz corpus replay FAILED ({len(seeds)} seeds)")
        return 1
    print(f"fuzz corpus replay: {len(seeds)} seeds clean")
    return 0


def gcov_coverage(corpus):
    """Line and branch coverage of the decoder reached by `corpus`, from a gcov build of the replayer."""
    cov = BUILD / "cov"
    if not build(cov, "-DCMAKE_CXX_COMPILER=g++", "-DFUZZ_COVERAGE=ON"):
        return None
    for stale in cov.rglob("*.gcda"):
        stale.unlink()
    if sh([str(cov / "decoder_replay"), str(corpus)], stdout=subprocess.DEVNULL).returncode != 0:
        return None
    data = next(cov.rglob("decoder_fuzzer.cpp.gcda"))
    out = sh(["gcov", "-b", str(data)], cwd=cov, capture_output=True, text=True).stdout
    # gcov prints one block per source: File '...', Lines executed:..., Branches executed:..., Taken at least once:...
    for block in out.split("\n\n"):
        if DECODER in block.split("\n", 1)[0]:
            figures = [line.strip() for line in block.splitlines()[1:] if "executed" in line or "Taken" in line]
            unreached = ", ".join(unreached_lines(cov / (DECODER + ".gcov"))) or "none"
            return f"{', '.join(figures)}; lines never reached: {unreached}"
    return None


def unreached_lines(gcov_file):
    """Line numbers gcov marks as never executed (#####) in its annotated copy of the source."""
    if not gcov_file.exists():
        return []
    return [line.split(":")[1].strip() for line in gcov_file.read_text().splitlines()
            if line.lstrip().startswith("#####")]


def fuzz(seconds):
    if not build(BUILD, "-DCMAKE_CXX_COMPILER=clang++"):
        return 1
    corpus = BUILD / "corpus"
    artifacts = BUILD / "artifacts"
    corpus.mkdir(parents=True, exist_ok=True)
    artifacts.mkdir(parents=True, exist_ok=True)
    for seed in SEEDS.iterdir():
        shutil.copy(seed, corpus / seed.name)
    run = sh([str(BUILD / "decoder_fuzzer"), str(corpus), f"-max_total_time={seconds}", "-print_final_stats=1",
              "-timeout=10", "-rss_limit_mb=4096", f"-artifact_prefix={artifacts}/"],
             stderr=subprocess.PIPE, text=True)
    log = run.stderr
    (BUILD / "last_run.log").write_text(log)
    if run.returncode != 0:
        print(log[-6000:], file=sys.stderr)
        print("fuzzing FOUND A CRASH: see build/fuzz/artifacts/ and build/fuzz/last_run.log")
        return 1
    execs = re.search(r"stat::number_of_executed_units:\s*(\d+)", log)
    rate = re.search(r"stat::average_exec_per_sec:\s*(\d+)", log)
    last = re.findall(r"cov: (\d+) ft: (\d+) corp: (\d+)", log)
    lines = [f"decoder fuzzing: {seconds} s, {execs.group(1) if execs else '?'} executions "
             f"({rate.group(1) if rate else '?'}/s)"]
    if last:
        edges, features, units = last[-1]
        lines.append(f"libFuzzer coverage: {edges} edges, {features} features, corpus of {units} inputs")
    reached = gcov_coverage(corpus)
    lines.append(f"{DECODER} coverage by the corpus: {reached or 'not measured'}")
    summary = "\n".join(lines)
    (BUILD / "summary.txt").write_text(summary + "\n")
    print(summary)
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--replay", action="store_true")
    parser.add_argument("--seconds", type=int, default=int(os.environ.get("FUZZ_SECONDS", "300")))
    args = parser.parse_args()
    return replay() if args.replay else fuzz(args.seconds)


if __name__ == "__main__":
    sys.exit(main())
