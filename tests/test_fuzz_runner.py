"""./dev fuzz: the runner behind it seeds each corpus, counts runs and fails on a crash."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

pytest.importorskip("atheris")  # installed into the default environment only

RUNNER = Path(__file__).resolve().parents[1] / "fuzz" / "run.py"

pytestmark = [
    pytest.mark.slow,
    # The fuzzer's own runtime and a preloaded AddressSanitizer do not mix.
    pytest.mark.skipif(bool(os.environ.get("KAVRI_SANITIZED")), reason="not under the sanitizer pass"),
]

TARGET = textwrap.dedent(
    """
    import sys
    import atheris

    def test_one_input(data):
        if data.startswith(b"BOOM"):
            raise RuntimeError("found it")

    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
    """
)


@pytest.fixture
def fuzz_dir(tmp_path):
    (tmp_path / "fuzz_calm.py").write_text(TARGET.replace('b"BOOM"', 'b"\\xff" * 5000'))
    (tmp_path / "fuzz_boom.py").write_text(TARGET)
    for name, seed in (("calm", b"hello"), ("boom", b"BOOM!")):
        (tmp_path / "seeds" / name).mkdir(parents=True)
        (tmp_path / "seeds" / name / "first").write_bytes(seed)
    return tmp_path


def run(fuzz_dir, *args):
    return subprocess.run([sys.executable, str(RUNNER), "--fuzz-dir", str(fuzz_dir), *args],
                          capture_output=True, text=True, timeout=300)


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_a_crash_fails_the_run_and_its_input_is_saved(fuzz_dir, jobs):
    done = run(fuzz_dir, "--seconds", "2", "--jobs", jobs)
    assert done.returncode == 1, done.stdout + done.stderr
    saved = list((fuzz_dir / "crashes" / "boom").iterdir())
    assert len(saved) == 1 and saved[0].read_bytes() == b"BOOM!" and saved[0].name.startswith("crash-")
    assert not list((fuzz_dir / "crashes" / "calm").iterdir())
    rows = {line.split()[0]: line.split()[1:] for line in done.stdout.splitlines() if line.startswith(("boom", "calm"))}
    assert rows["boom"][1] == "1" and rows["calm"][1] == "0"
    assert int(rows["calm"][0]) > 100  # it did run for its two seconds
    assert "RuntimeError: found it" in done.stdout  # the report, for whoever reads the CI log
    # The seeds went into the corpus, where the fuzzer also keeps what it finds.
    assert (fuzz_dir / "corpus" / "calm" / "first").read_bytes() == b"hello"


@pytest.mark.parametrize("chosen", ["calm", "fuzz_calm.py"])
def test_chosen_targets_run_alone(fuzz_dir, chosen):
    done = run(fuzz_dir, "--seconds", "1", chosen)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "boom" not in done.stdout and "no crashes (1 targets)" in done.stdout


def test_an_unknown_target_is_refused(fuzz_dir):
    done = run(fuzz_dir, "nonesuch")
    assert done.returncode != 0 and "no target 'nonesuch'" in done.stderr
