"""Where the platform's headers may appear in the module's sources: only in
src/os/, the operating-system layer. A platform header or a _WIN32 test
anywhere else would be a second, untested copy of that layer. The engine
stays free of the interpreter's C API, and each room of src/ includes only
from the rooms the table below allows it."""

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


# The rooms of src/ and the rooms each may include from ("room/file.hpp"):
# the one table of what depends on what. The operating-system layer and the
# engine are at the bottom, the executor beside the engine with no
# interpreter in it, the border above the engine; the bridge, the classes
# and the host-budget classes above those; modules/ assembles the two
# extension modules (init, class registration, the fork handlers that reach
# into the executor and the bridge), and no other room includes it.
ROOMS = {
    "os": {"os"},
    "engine": {"engine", "os"},
    "executor": {"executor", "os"},
    "host": {"host", "engine", "os"},
    "bridge": {"bridge", "host", "executor", "engine"},
    "limiters": {"limiters", "bridge", "host", "engine"},
    "shm": {"shm", "limiters", "bridge", "host", "executor", "engine", "os"},
    "modules": {"modules", "shm", "limiters", "bridge", "host", "executor", "engine", "os"},
}
# What the other rooms may include of the operating-system layer: its
# interface headers; the rest (a platform's API) stays inside it.
OS_INTERFACE = {"os/os.hpp", "os/shm.hpp"}
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.MULTILINE)


def test_every_source_is_in_a_known_room():
    rooms = {p.relative_to(SRC).parts[0] for p in sources()}
    assert rooms == set(ROOMS)
    assert [str(p.relative_to(SRC)) for p in sources() if p.parent == SRC] == []


def test_rooms_include_only_what_the_table_allows():
    offenders = []
    seen = 0
    for path in sources():
        room = path.relative_to(SRC).parts[0]
        for name in INCLUDE.findall(path.read_text()):
            seen += 1
            target = name.split("/")[0]
            if "/" not in name or not (SRC / name).is_file():
                offenders.append(f"{path.relative_to(SRC)}: {name} is not a file of src/")
            elif target not in ROOMS[room]:
                offenders.append(f"{path.relative_to(SRC)}: {name} ({room}/ may not include {target}/)")
            elif target == "os" and room != "os" and name not in OS_INTERFACE:
                offenders.append(f"{path.relative_to(SRC)}: {name} (outside os/, only its interface)")
    assert seen > 100  # the pattern finds the includes at all
    assert offenders == []
