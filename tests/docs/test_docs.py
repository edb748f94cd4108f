"""The documentation builds without a warning, and every example its pages include (and the README's snippets)
runs on the simulated board.

Runs with the simulated board preloaded (tools/run_tests.py, stage "docs"). The examples of one page run in
order in one scratch directory, as a reader would run them; each must exit with status 0.
"""
import os
import pathlib
import re
import subprocess
import sys

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
DOCS = REPO / "docs"
EXAMPLES = DOCS / "examples"
INCLUDE = re.compile(r"^```\{literalinclude\}\s+(\S+)", re.M)
# Generous: a loaded two-core machine, and a capture of a few seconds per example.
EXAMPLE_LIMIT = 240


def included(page):
    return [(page.parent / name).resolve() for name in INCLUDE.findall(page.read_text())]


PAGES = sorted(p for p in DOCS.rglob("*.md") if any(e.parent == EXAMPLES for e in included(p)))


def test_the_docs_build_without_a_warning(tmp_path):
    result = subprocess.run([sys.executable, "-m", "sphinx", "-W", "-n", "--keep-going", "-q", "-b", "html",
                             "-d", str(tmp_path / "doctrees"), str(DOCS), str(tmp_path / "html")],
                            cwd=REPO, capture_output=True, text=True, env=_without_preload())
    assert result.returncode == 0, result.stderr + result.stdout


def test_every_example_is_on_a_page():
    shown = {e for page in DOCS.rglob("*.md") for e in included(page)}
    assert sorted(p.name for p in EXAMPLES.iterdir() if p not in shown) == []


@pytest.mark.parametrize("page", PAGES, ids=lambda p: str(p.relative_to(DOCS).with_suffix("")))
def test_the_examples_of_a_page_run(page, tmp_path, record_property):
    # The pages are checked, not the machine's speed: at 4 MB/s a loaded two-core machine keeps up with a board
    # while it writes HDF5 (an example that configures its own boards says so).
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.environ.get("PYTHONPATH", ""), str(REPO / "sim")]),
               MPLBACKEND="Agg", PCB_ROQ_SIM="serial=SIM0001,rate=4e6")
    examples = [e for e in included(page) if e.parent == EXAMPLES]
    for example in examples:
        command = [sys.executable, str(example)] if example.suffix == ".py" else ["bash", "-e", str(example)]
        result = subprocess.run(command, cwd=tmp_path, env=env, capture_output=True, text=True,
                                timeout=EXAMPLE_LIMIT)
        assert result.returncode == 0, f"{example.name}:\n{result.stdout}\n{result.stderr}"
    record_property("figure", f"{page.stem}: {len(examples)} examples ran")


def test_the_files_the_pages_name_exist():
    named = {m for page in [REPO / "README.md", *DOCS.rglob("*.md")]
             for m in re.findall(r"`((?:src|sim|tests|bench|tools|udev|python|docs)/[\w./-]*\w)`", page.read_text())}
    assert sorted(n for n in named if not (REPO / n).exists() and "<" not in n) == []


def test_the_readme_snippets_run(tmp_path):
    snippets = re.findall(r"^```python\n(.*?)^```", (REPO / "README.md").read_text(), re.M | re.S)
    assert len(snippets) >= 2
    for snippet in snippets:
        result = subprocess.run([sys.executable, "-c", snippet], cwd=tmp_path, capture_output=True, text=True,
                                timeout=EXAMPLE_LIMIT)
        assert result.returncode == 0, f"{snippet}\n{result.stderr}"


def _without_preload():
    """Sphinx imports the modules to document them and needs no simulated board."""
    env = dict(os.environ)
    env.pop("LD_PRELOAD", None)
    return env
