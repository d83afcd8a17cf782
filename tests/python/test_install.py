"""pip install of the source tree into a fresh virtual environment (with
the normal build isolation) gives an importable module from any directory,
with its metadata and stubs, and without the test-only hooks."""

import os
import subprocess
import sys
import sysconfig

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


@pytest.mark.timeout(900)
@pytest.mark.skipif(os.environ.get("RATEVANE_SKIP_INSTALL_TEST") == "1",
                    reason="install test switched off")
def test_pip_install_into_fresh_venv(tmp_path):
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True, timeout=300)
    python = str(venv / "bin" / "python")
    install = subprocess.run(
        [python, "-m", "pip", "install", "-q", "--disable-pip-version-check", ROOT],
        capture_output=True, text=True, timeout=900,
    )
    assert install.returncode == 0, install.stdout + install.stderr

    outside = tmp_path / "elsewhere"
    outside.mkdir()
    probe = subprocess.run(
        [python, "-c",
         "import ratevane, sys; "
         "r = ratevane.RateLimiter(sec=2, blocking=False); "
         "print(ratevane.__file__); print(r.acquire(), r.acquire(), r.acquire()); "
         "print(hasattr(ratevane, '_arm_fault')); "
         "import ratevane_shm; print(hasattr(ratevane_shm, '_put_holder'))"],
        capture_output=True, text=True, cwd=str(outside), timeout=60,
        env={k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "RATEVANE_BUILD")},
    )
    assert probe.returncode == 0, probe.stderr
    where, grants, hooks, shm_hooks = probe.stdout.split("\n")[:4]
    assert where.startswith(str(venv))
    assert grants == "True True False"
    assert hooks == "False"  # release builds carry no fault injection
    assert shm_hooks == "False"

    show = subprocess.run([python, "-m", "pip", "show", "ratevane"], capture_output=True,
                          text=True, timeout=60)
    fields = dict(line.split(": ", 1) for line in show.stdout.splitlines() if ": " in line)
    assert fields["Name"] == "ratevane"
    assert fields["Version"] == _meson_version()
    assert fields["License"] == "MIT"
    assert fields["Summary"].startswith("Exact, clock-aligned rate limiters")

    purelib = subprocess.run(
        [python, "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])"],
        capture_output=True, text=True, check=True).stdout.strip()
    for stubs in ("ratevane-stubs", "ratevane_shm-stubs"):
        assert os.path.isfile(os.path.join(purelib, stubs, "__init__.pyi")), stubs
    for part in ("__init__.py", "budget.lua", "py.typed"):  # the Redis companion module
        assert os.path.isfile(os.path.join(purelib, "ratevane_redis", part)), part


def _meson_version():
    import re
    with open(os.path.join(ROOT, "meson.build")) as f:
        return re.search(r"version:\s*'([^']+)'", f.read()).group(1)
