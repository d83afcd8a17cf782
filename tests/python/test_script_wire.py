"""The constants budget.lua shares with Python stand in one block on each
side (`local NAME = value` in the script, `NAME = value` in _wire.py); they
must agree name by name."""

import os
import re

import pytest

PACKAGE = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))), "python", "ratevane_redis")


def read(name):
    with open(os.path.join(PACKAGE, name), encoding="utf-8") as f:
        return f.read()


def block(text, start, end):
    """The lines between the two marker lines, which must each occur once."""
    lines = text.splitlines()
    assert lines.count(start) == 1 and lines.count(end) == 1, (start, end)
    return lines[lines.index(start) + 1:lines.index(end)]


def value(text, power, quote):
    """An integer, base `power` exponent, or a quoted one-line string."""
    m = re.fullmatch(r"(\d+)(?:\s*" + re.escape(power) + r"\s*(\d+))?", text)
    if m:
        return int(m.group(1)) ** int(m.group(2)) if m.group(2) else int(m.group(1))
    m = re.fullmatch(quote + r"'([^'\\]*)'", text) or re.fullmatch(quote + r'"([^"\\]*)"', text)
    if m:
        return m.group(1).encode()
    raise AssertionError(f"not a constant of the shared block: {text!r}")


def constants(lines, pattern, comment, power, quote):
    out = {}
    for line in lines:
        line = line.split(comment, 1)[0].strip()
        if not line:
            continue
        m = re.fullmatch(pattern, line)
        assert m, f"not a constant line: {line!r}"
        name = m.group(1)
        assert name not in out, f"{name} twice"
        out[name] = value(m.group(2).strip(), power, quote)
    return out


def lua_constants(text):
    return constants(block(text, "-- --- shared with _wire.py ---", "-- --- end ---"),
                     r"local ([A-Z][A-Z0-9_]*) = (.+)", "--", "^", "")


def python_constants(text):
    return constants(block(text, "# --- shared with budget.lua ---", "# --- end ---"),
                     r"([A-Z][A-Z0-9_]*) = (.+)", "#", "**", "b")


def mismatches(lua_text, python_text):
    lua, py = lua_constants(lua_text), python_constants(python_text)
    return sorted(f"{name}: script {lua.get(name)!r}, Python {py.get(name)!r}"
                  for name in set(lua) | set(py) if lua.get(name) != py.get(name))


def test_both_blocks_agree_and_hold_together():
    lua_text, python_text = read("budget.lua"), read("_wire.py")
    assert mismatches(lua_text, python_text) == []
    c = lua_constants(lua_text)
    assert len(c) >= 20
    # The packed layout: permits, then the reason, then the wait.
    assert c["COUNT_UNIT"] == 2 ** c["COUNT_BITS"] and c["MAX_COUNT"] == c["COUNT_UNIT"] - 1
    assert c["REASON_UNIT"] == 2 ** c["REASON_BITS"] > c["CANCELLED"]
    assert c["WAIT_SHIFT"] == c["COUNT_BITS"] + c["REASON_BITS"]
    # The packed reply stays an exact integer in a double.
    assert c["WAIT_CAP"] << c["WAIT_SHIFT"] <= c["EXACT"]
    ops = [v for k, v in c.items() if k.startswith("OP_")]
    assert len(set(ops)) == len(ops) == 8 and all(len(v) == 1 for v in ops)
    # The script uses its constants, not copies of their values.
    body = lua_text.split("-- --- end ---", 1)[1]
    for literal in ("1024", "1023", "60000", "'a'", "'b'", "'f'"):
        assert literal not in body, literal
    # The Python block is the module's: the names import with these values.
    from ratevane_redis import _wire
    assert {k: getattr(_wire, k) for k in c} == python_constants(python_text)


@pytest.mark.parametrize("side, old, new", [
    ("lua", "local KEEP_MS = 60000", "local KEEP_MS = 61000"),
    ("lua", "local OP_CANCEL = 'x'", "local OP_CANCEL = 'y'"),
    ("lua", "local EXACT = 2^53", "local EXACT = 2^52"),
    ("python", "WINDOW = 1", "WINDOW = 2"),
    ("python", "GRACE_MS = 1000  #", "GRACE = 1000  #"),  # a name on one side only
    ("python", "OP_WAIT = b\"w\"", "OP_WAIT = \"w\""),  # str for bytes
])
def test_a_planted_mismatch_is_named(side, old, new):
    texts = {"lua": read("budget.lua"), "python": read("_wire.py")}
    assert texts[side].count(old) == 1
    texts[side] = texts[side].replace(old, new)
    try:
        found = mismatches(texts["lua"], texts["python"])
    except AssertionError as e:  # a value the block may not hold
        found = [str(e)]
    assert found, (side, new)


def test_the_commands_named_to_a_refusing_server_are_the_scripts():
    # A server that refuses a command of the script gets told which the
    # script runs: the list must be the script's own.
    import re

    from ratevane_redis import _caller
    used = set(re.findall(r"redis\.call\('([A-Z]+)'", _caller.SCRIPT))
    named = set(re.findall(r"\b[A-Z]{3,}\b", _caller.NEEDED.split("inside scripts")[1]))
    assert used == named
