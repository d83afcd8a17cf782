"""The examples run to the end (in their short mode), so they cannot rot."""

import os
import subprocess
import sys

import pytest

from conftest import run_python

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
EXAMPLES = sorted(
    f for f in os.listdir(os.path.join(ROOT, "examples")) if f.endswith(".py")
)


@pytest.mark.parametrize("name", EXAMPLES)
def test_example_runs(name):
    with open(os.path.join(ROOT, "examples", name)) as f:
        code = f.read()
    result = run_python(
        "import sys; sys.argv = [%r]\n" % name + code,
        timeout=90,  # a guard: each runs about 3 s in its short mode
        env={"RATEVANE_EXAMPLE_QUICK": "1"},
    )
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.strip(), "the example printed nothing"
