"""Where the platform's headers may appear in the module's sources: only in
src/os/, the operating-system layer. A platform header or a _WIN32 test
anywhere else would be a second, untested copy of that layer. And the
engine stays free of the interpreter's C API."""

import pathlib
import re

import pytest

SRC = pathlib.Path(__file__).resolve().parents[2] / "src"
PLATFORM = re.compile(
    r"#\s*include\s*<(windows\.h|winbase\.h|unistd\.h|pthread\.h|sched\.h|time\.h|ctime"
    r"|sys/[a-z_]+\.h)>|\b_WIN32\b|__builtin_ia32_|\bclock_gettime\b|\bnanosleep\b|\bprctl\b")

pytestmark = pytest.mark.skipif(not SRC.is_dir(), reason="the sources are not beside the tests")


def sources():
    return sorted(p for p in SRC.rglob("*") if p.suffix in {".cpp", ".hpp"})


def test_platform_headers_only_in_the_os_layer():
    assert any(p.parent.name == "os" for p in sources())
    offenders = [str(p.relative_to(SRC)) for p in sources()
                 if p.parent.name != "os" and PLATFORM.search(p.read_text())]
    assert offenders == []


def test_engine_does_not_include_the_interpreter():
    engine = [p for p in sources() if p.parent.name == "engine"]
    assert engine
    assert [p.name for p in engine if "Python.h" in p.read_text() or "host/" in p.read_text()] == []
