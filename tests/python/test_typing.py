"""The shipped stubs describe both classes: mypy --strict accepts the
examples and reports every deliberate misuse."""

import os
import re
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

mypy = pytest.importorskip("mypy", reason="mypy is installed in the CPython environment only")


@pytest.fixture(scope="module")
def stub_path(tmp_path_factory):
    """The shipped stub package, laid out as mypy reads a search path (an
    installed distribution puts it in site-packages as ratevane-stubs)."""
    where = tmp_path_factory.mktemp("stubs")
    with open(os.path.join(ROOT, "stubs", "ratevane-stubs", "__init__.pyi")) as f:
        (where / "ratevane.pyi").write_text(f.read())
    with open(os.path.join(ROOT, "stubs", "ratevane_shm-stubs", "__init__.pyi")) as f:
        (where / "ratevane_shm.pyi").write_text(f.read())
    return str(where)


def run_mypy(stub_path, *paths):
    # ratevane_redis carries its own annotations (py.typed), from the source tree.
    env = dict(os.environ, MYPYPATH=os.pathsep.join([stub_path, os.path.join(ROOT, "python")]))
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--python-version", "3.9",
         *paths],
        capture_output=True, text=True, env=env, cwd=ROOT, timeout=300,
    )


def test_examples_type_check_clean(stub_path):
    examples = [os.path.join("examples", f) for f in sorted(os.listdir(os.path.join(ROOT, "examples")))
                if f.endswith(".py")]
    assert examples
    result = run_mypy(stub_path, *examples)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize("name", ["misuse.py", "redis_misuse.py", "shm_misuse.py"])
def test_every_misuse_is_reported(stub_path, name):
    path = os.path.join("tests", "typing", name)
    with open(os.path.join(ROOT, path)) as f:
        expected = {i for i, line in enumerate(f, 1) if line.rstrip().endswith("# error")}
    result = run_mypy(stub_path, path)
    reported = {int(m.group(1)) for m in re.finditer(re.escape(name) + r":(\d+): error",
                                                      result.stdout)}
    assert expected, "the misuse file marks no line"
    assert expected - reported == set(), result.stdout
    assert reported - expected == set(), result.stdout
