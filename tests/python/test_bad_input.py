"""Randomised bad input at every constructor parameter and at __exit__ /
__aexit__ of both classes.

Each example calls the real code and a small reference model written from
the documented rules, and the two must agree exactly: either a limiter (which
must then work) or the same exception type with the same message. The model:

1. argument extraction: too many positional arguments first, then the
   keywords in the order they were passed (unexpected or given twice), then
   missing required ones (only __exit__ / __aexit__ have required ones);
2. conversion, in positional order, the first failure reported: integers
   through the host's index conversion into 0 .. 2**64 - 1 (int subclasses
   directly, without __index__), `blocking` a real bool or a numpy-like bool
   asked through its type's __bool__; a failure of exactly TypeError is
   renamed "argument '<name>': <text>" keeping its __cause__, any other
   exception passes unchanged;
3. the configuration checks in order: per window (second, minute, hour,
   day) that is given, its count, then its multiplier; then "at least one
   window"; then max_burst.
"""

import asyncio
import operator
import warnings

import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import ratevane
from conftest import IS_PYPY

EXAMPLES = 300
SETTINGS = settings(
    max_examples=EXAMPLES,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much],
    database=None,
)

PARAMS = ("sec", "min", "hour", "day", "sec_window", "min_window", "hour_window",
          "day_window", "blocking", "max_burst")
EXIT_PARAMS = ("_exc_type", "_exc_value", "_traceback")
WINDOWS = (("second", "sec", "sec_window", 1), ("minute", "min", "min_window", 60),
           ("hour", "hour", "hour_window", 3600), ("day", "day", "day_window", 86400))
U64_MAX = 2**64 - 1

# PyLong_AsUnsignedLongLong's own texts differ between the interpreters.
if IS_PYPY:
    NEGATIVE_TEXT = "cannot convert negative integer to unsigned int"
    TOO_BIG_TEXT = "integer too large"
else:
    NEGATIVE_TEXT = "can't convert negative int to unsigned"
    TOO_BIG_TEXT = "int too big to convert"

TRIED = {}  # test name -> examples run, printed at the end of the module


def count_example(name):
    TRIED[name] = TRIED.get(name, 0) + 1


def teardown_module(_module):
    total = sum(TRIED.values())
    lines = ", ".join(f"{k}={v}" for k, v in sorted(TRIED.items()))
    print(f"\nbad input: {total} random inputs tried ({lines})")


# --- the objects thrown at the limiter ---------------------------------------


class CustomError(Exception):
    pass


class CustomBaseError(BaseException):
    """Not an Exception: must still pass through unchanged."""


class TypeErrorSubclass(TypeError):
    """A subclass of TypeError is not renamed."""


def _raise(kind):
    """Raise a fresh exception of the given kind (objects raise anew on every
    call, so the model and the real call each see their own instance)."""
    if kind == "TypeError":
        raise TypeError("index says no")
    if kind == "TypeError+cause":
        raise TypeError("index says no") from ValueError("the cause")
    if kind == "TypeErrorSubclass":
        raise TypeErrorSubclass("a subclass")
    if kind == "ValueError":
        raise ValueError("bad value")
    if kind == "OverflowError":
        raise OverflowError("own overflow")
    if kind == "ZeroDivisionError":
        raise ZeroDivisionError("division")
    if kind == "CustomError":
        raise CustomError("custom")
    if kind == "CustomBaseError":
        raise CustomBaseError("custom base")
    raise AssertionError(kind)


RAISE_KINDS = ("TypeError", "TypeError+cause", "TypeErrorSubclass", "ValueError",
               "OverflowError", "ZeroDivisionError", "CustomError", "CustomBaseError")


class Indexable:
    """__index__ returns whatever it was given."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"Indexable({self.value!r})"


class IndexRaises:
    def __init__(self, kind):
        self.kind = kind

    def __index__(self):
        _raise(self.kind)

    def __repr__(self):
        return f"IndexRaises({self.kind})"


class IntOnly:
    """Has __int__ but no __index__: not an integer for the limiter."""

    def __int__(self):
        return 5


class PlainInt(int):
    pass


class IntIndexRaises(int):
    """An int subclass is converted directly; its __index__ is never asked."""

    def __index__(self):
        raise RuntimeError("never called")


class BoolAnswer:
    """The behaviour of a numpy-like bool's __bool__: return `value` or raise."""

    def __init__(self, value=None, raises=None):
        self.value = value
        self.raises = raises

    def __repr__(self):
        return f"raises {self.raises}" if self.raises else f"returns {self.value!r}"


def _np_bool(self):
    if self.answer.raises:
        _raise(self.answer.raises)
    return self.answer.value


def _np_init(self, answer=None):
    self.answer = answer


def _np_repr(self):
    return f"<{type(self).__module__}.{type(self).__name__} {self.answer!r}>"


def _make_numpy_like(name, module, with_bool, base=object):
    ns = {"__module__": module, "__init__": _np_init, "__repr__": _np_repr}
    if with_bool:
        ns["__bool__"] = _np_bool
    return type(name, (base,), ns)


NumpyBoolUnderscore = _make_numpy_like("bool_", "numpy", True)
NumpyBool = _make_numpy_like("bool", "numpy", True)
NumpyBoolNoConversion = _make_numpy_like("bool_", "numpy", False)
NumpyBoolNoConversion2 = _make_numpy_like("bool", "numpy", False)
NotNumpyModule = _make_numpy_like("bool_", "numpy.core", True)  # module must be exactly "numpy"
NotNumpyName = _make_numpy_like("float64", "numpy", True)


# An int subclass posing as numpy's bool: asked through int.__bool__.
IntBool = type("bool_", (int,), {"__module__": "numpy"})

BOUNDARY_INTS = [0, 1, 2, 7, 2**31 - 1, 2**32, 2**53 + 1, 2**63 - 1, 2**63, U64_MAX, 2**64,
                 2**64 + 1, 2**100, 10**400, -1, -2**63, -2**64, -10**400]

ints = st.one_of(
    st.integers(min_value=1, max_value=50),
    st.sampled_from(BOUNDARY_INTS),
    st.integers(),
    st.integers(min_value=-2**70, max_value=2**70),
)

answers = st.one_of(
    st.booleans().map(lambda b: BoolAnswer(value=b)),
    st.sampled_from([1, 0, None, "yes", 1.0]).map(lambda v: BoolAnswer(value=v)),
    st.sampled_from(RAISE_KINDS).map(lambda k: BoolAnswer(raises=k)),
)

numpy_likes = st.one_of(
    st.builds(NumpyBoolUnderscore, answers),
    st.builds(NumpyBool, answers),
    st.builds(NotNumpyModule, answers),
    st.builds(NotNumpyName, answers),
    st.just(NumpyBoolNoConversion()),
    st.just(NumpyBoolNoConversion2()),
    st.integers(min_value=-3, max_value=3).map(IntBool),
)

weird = st.one_of(
    st.builds(Indexable, st.one_of(ints, st.sampled_from(["7", 1.0, None, b"1", True, False]))),
    st.sampled_from(RAISE_KINDS).map(IndexRaises),
    st.just(IntOnly()),
    ints.map(PlainInt),
    ints.map(IntIndexRaises),
)

anything = st.one_of(
    ints,
    st.booleans(),
    st.none(),
    st.floats(allow_nan=True, allow_infinity=True),
    st.text(max_size=8),
    st.binary(max_size=4),
    st.sampled_from([[], [1], {}, (), object(), 1j, ratevane, ratevane.RateLimiter]),
    weird,
    numpy_likes,
)

# Values that convert: a call made only of these builds a limiter unless a
# configuration check refuses it.
small = st.integers(min_value=1, max_value=50)
good_counts = st.one_of(
    st.none(),
    small,
    st.sampled_from([0, 1, True, False, 2**32, 2**63, U64_MAX]),
    small.map(PlainInt),
    small.map(Indexable),
    small.map(IntIndexRaises),
)
good_blockings = st.one_of(
    st.booleans(),
    st.booleans().map(lambda b: NumpyBoolUnderscore(BoolAnswer(value=b))),
    st.booleans().map(lambda b: NumpyBool(BoolAnswer(value=b))),
    st.sampled_from([0, 1]).map(IntBool),
)


# --- the reference model -----------------------------------------------------


class Outcome:
    """An exception the model expects: type, message, and (for a renamed
    TypeError) the type and text of its __cause__."""

    def __init__(self, type_, message, cause=None):
        self.type = type_
        self.message = message
        self.cause = cause

    def __repr__(self):
        return f"{self.type.__name__}({self.message!r}, cause={self.cause!r})"


def describe(exc):
    return None if exc is None else (type(exc), str(exc))


def outcome_of(exc):
    return Outcome(type(exc), str(exc), describe(exc.__cause__))


def renamed(name, exc):
    """Exactly TypeError becomes "argument '<name>': <text>"; others pass."""
    if type(exc) is TypeError:
        return Outcome(TypeError, f"argument '{name}': {exc}", describe(exc.__cause__))
    return outcome_of(exc)


def model_u64(value, name):
    """(converted value or None, Outcome or None)."""
    if value is None:
        return None, None
    if isinstance(value, int):  # int subclasses (bool too) skip __index__
        number = int.__index__(value)
    else:
        try:
            number = operator.index(value)
        except BaseException as exc:  # noqa: B902 - CustomBaseError too
            return None, renamed(name, exc)
        number = int.__index__(number)
    if number < 0:
        return None, Outcome(OverflowError, NEGATIVE_TEXT)
    if number > U64_MAX:
        return None, Outcome(OverflowError, TOO_BIG_TEXT)
    return number, None


def model_bool(value, given):
    if not given:
        return True, None
    if type(value) is bool:
        return value, None
    kind = type(value)
    if kind.__module__ == "numpy" and kind.__name__ in ("bool_", "bool"):
        method = getattr(kind, "__bool__", None)
        if method is None:
            return None, Outcome(
                TypeError,
                f"argument 'blocking': object of type '{kind}' does not define a "
                f"'__bool__' conversion",
            )
        try:
            answer = method(value)
        except BaseException as exc:  # noqa: B902
            return None, renamed("blocking", exc)
        if type(answer) is not bool:
            return None, Outcome(
                TypeError,
                f"argument 'blocking': __bool__ should return bool, returned "
                f"{type(answer).__qualname__}",
            )
        return answer, None
    return None, Outcome(
        TypeError,
        f"argument 'blocking': '{kind.__qualname__}' object cannot be converted to 'PyBool'",
    )


def model_extract(owner, function, names, required, args, kwargs):
    """The slots (dict name -> object) or an Outcome."""
    full = f"{owner}.{function}()"
    n = len(args)
    if n > len(names):
        verb = "was" if n == 1 else "were"
        if required != len(names):
            text = (f"{full} takes from {required} to {len(names)} positional arguments "
                    f"but {n} {verb} given")
        else:
            text = f"{full} takes {len(names)} positional arguments but {n} {verb} given"
        return Outcome(TypeError, text)
    slots = dict(zip(names, args))
    for key, value in kwargs.items():
        if key not in names:
            return Outcome(TypeError, f"{full} got an unexpected keyword argument '{key}'")
        if key in slots:
            return Outcome(TypeError, f"{full} got multiple values for argument '{key}'")
        slots[key] = value
    missing = [name for name in names[:required] if name not in slots]
    if missing:
        quoted = [f"'{m}'" for m in missing]
        if len(quoted) == 1:
            listed = quoted[0]
        elif len(quoted) == 2:
            listed = " and ".join(quoted)
        else:
            listed = ", ".join(quoted[:-1]) + ", and " + quoted[-1]
        word = "argument" if len(missing) == 1 else "arguments"
        return Outcome(TypeError,
                       f"{full} missing {len(missing)} required positional {word}: {listed}")
    return slots


def model_construct(owner, args, kwargs):
    """An Outcome, or the expected configuration as a dict:
    {"windows": {name: limit}, "max_burst": int or None, "blocking": bool}."""
    slots = model_extract(owner, "__new__", PARAMS, 0, args, kwargs)
    if isinstance(slots, Outcome):
        return slots
    values = {}
    for name in PARAMS:
        if name == "blocking":
            value, error = model_bool(slots.get(name), name in slots)
        else:
            value, error = model_u64(slots.get(name), name)
        if error is not None:
            return error
        values[name] = value
    windows = {}
    for window, count_name, factor_name, unit in WINDOWS:
        count = values[count_name]
        if count is None:
            continue
        if count == 0:
            return Outcome(ValueError, f"Rate limit for {window} must be greater than 0")
        factor = values[factor_name]
        if factor is not None:
            if factor == 0:
                return Outcome(ValueError, f"{factor_name} must be greater than 0")
            if factor * unit > U64_MAX:
                return Outcome(ValueError, f"{factor_name} is too large")
        windows[window] = count
    if not windows:
        return Outcome(ValueError, "At least one rate limit must be specified")
    if values["max_burst"] == 0:
        return Outcome(ValueError, "max_burst must be greater than 0")
    return {"windows": windows, "max_burst": values["max_burst"], "blocking": values["blocking"]}


# --- drawing a call ----------------------------------------------------------


@st.composite
def constructor_calls(draw):
    """(args, kwargs): a positional prefix, then keywords in a random order,
    sometimes with an extra positional, an unknown or a repeated keyword."""
    # How wild: every value convertible, one arbitrary value, or all arbitrary.
    mode = draw(st.sampled_from(["good", "one bad", "all bad"]))
    bad = draw(st.sampled_from(PARAMS)) if mode == "one bad" else None

    def value_for(name):
        if mode == "all bad" or name == bad:
            return draw(anything)
        return draw(good_blockings if name == "blocking" else good_counts)

    n_positional = draw(st.integers(0, 10))
    values = {}
    for i, name in enumerate(PARAMS):
        if i >= n_positional and name != bad and draw(st.integers(0, 9)) < 4:
            continue  # absent (a positional slot cannot be skipped)
        values[name] = value_for(name)
    args = [values[name] for name in PARAMS[:n_positional]]
    keywords = [name for name in PARAMS[n_positional:] if name in values]
    keywords = draw(st.permutations(keywords))
    kwargs = {name: values[name] for name in keywords}
    extra = draw(st.integers(0, 19))
    if extra == 0 and n_positional == 10:
        args.append(draw(anything))
    elif extra == 1:
        kwargs[draw(st.sampled_from(["secs", "Sec", "seconds", "burst", "sëc", "_exc_type"]))] = 1
    elif extra == 2 and n_positional > 0:
        kwargs[draw(st.sampled_from(PARAMS[:n_positional]))] = draw(anything)
    if draw(st.booleans()):  # move any extra keyword to a random place
        items = draw(st.permutations(list(kwargs.items())))
        kwargs = dict(items)
    return tuple(args), kwargs


@st.composite
def exit_calls(draw):
    n = draw(st.integers(0, 4))
    args = tuple(draw(anything) for _ in range(n))
    names = draw(st.lists(st.sampled_from(EXIT_PARAMS + ("exc_type", "traceback", "tb")),
                          unique=True, max_size=4))
    kwargs = {name: draw(anything) for name in names}
    return args, kwargs


# --- checking ------------------------------------------------------------------


def call(fn, *args, **kwargs):
    """The value, or the raised exception as an Outcome."""
    with warnings.catch_warnings():
        # __index__ returning a bool is deprecated but still accepted.
        warnings.simplefilter("ignore", DeprecationWarning)
        try:
            return fn(*args, **kwargs), None
        except BaseException as exc:  # noqa: B902
            return None, outcome_of(exc)


def expected_construct(owner, args, kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        return model_construct(owner, args, kwargs)


def assert_same_error(actual, expected, context):
    assert actual is not None, f"{context}: expected {expected!r}, got a result"
    assert isinstance(expected, Outcome), f"{context}: expected success, got {actual!r}"
    assert (actual.type, actual.message) == (expected.type, expected.message), context
    assert actual.cause == expected.cause, context


def check_remaining(remaining, config, held):
    windows = config["windows"]
    expected_keys = set(windows) | ({"burst"} if config["max_burst"] is not None else set())
    assert set(remaining) == expected_keys, (remaining, config)
    for window, limit in windows.items():
        # One permit taken; the window may have rolled over since.
        assert remaining[window] in (limit - 1, limit), (remaining, config)
    if config["max_burst"] is not None:
        assert remaining["burst"] == config["max_burst"] - held, (remaining, config)


def check_wait_time(value):
    assert value is None or (type(value) is float and value >= 0.001), value


def use_thread_limiter(limiter, config):
    assert limiter.acquire() is True  # a fresh limiter always grants one permit
    check_remaining(limiter.get_remaining(), config, held=1)
    check_wait_time(limiter.wait_time())
    assert limiter.release() is None
    check_remaining(limiter.get_remaining(), config, held=0)
    assert limiter.release() is None  # an unmatched release is ignored
    check_remaining(limiter.get_remaining(), config, held=0)


async def use_async_limiter(limiter, config):
    assert await limiter.acquire() == ()
    check_remaining(await limiter.get_remaining(), config, held=1)
    check_wait_time(await limiter.wait_time())
    assert await limiter.release() == ()
    check_remaining(await limiter.get_remaining(), config, held=0)


@pytest.fixture
def loop():
    loop = asyncio.new_event_loop()
    yield loop
    loop.close()


@SETTINGS
@given(call_=constructor_calls())
def test_thread_limiter_constructor_matches_model(call_):
    count_example("RateLimiter()")
    args, kwargs = call_
    context = f"RateLimiter(*{args!r}, **{kwargs!r})"
    expected = expected_construct("RateLimiter", args, kwargs)
    limiter, error = call(ratevane.RateLimiter, *args, **kwargs)
    event(f"outcome: {error.type.__name__ if error else 'limiter'}")
    if isinstance(expected, Outcome) or error is not None:
        assert_same_error(error, expected, context)
        return
    assert type(limiter) is ratevane.RateLimiter, context
    use_thread_limiter(limiter, expected)


@settings(SETTINGS, suppress_health_check=list(SETTINGS.suppress_health_check)
          + [HealthCheck.function_scoped_fixture])
@given(call_=constructor_calls())
def test_async_limiter_constructor_matches_model(loop, call_):
    count_example("AsyncRateLimiter()")
    args, kwargs = call_
    context = f"AsyncRateLimiter(*{args!r}, **{kwargs!r})"
    expected = expected_construct("AsyncRateLimiter", args, kwargs)
    limiter, error = call(ratevane.AsyncRateLimiter, *args, **kwargs)
    event(f"outcome: {error.type.__name__ if error else 'limiter'}")
    if isinstance(expected, Outcome) or error is not None:
        assert_same_error(error, expected, context)
        return
    assert type(limiter) is ratevane.AsyncRateLimiter, context
    loop.run_until_complete(asyncio.wait_for(use_async_limiter(limiter, expected), 10))


@SETTINGS
@given(call_=exit_calls())
def test_thread_limiter_exit_matches_model(call_):
    count_example("RateLimiter.__exit__")
    args, kwargs = call_
    context = f"__exit__(*{args!r}, **{kwargs!r})"
    limiter = ratevane.RateLimiter(sec=10**9, max_burst=2)
    assert limiter.acquire() is True
    expected = model_extract("RateLimiter", "__exit__", EXIT_PARAMS, 3, args, kwargs)
    result, error = call(limiter.__exit__, *args, **kwargs)
    if isinstance(expected, Outcome) or error is not None:
        assert_same_error(error, expected, context)
        # Refused before anything happened: the permit is still held.
        assert limiter.get_remaining()["burst"] == 1, context
        limiter.release()
    else:
        assert result is False, context
        assert limiter.get_remaining()["burst"] == 2, context
    assert limiter.acquire() is True
    assert limiter.get_remaining()["burst"] == 1


@settings(SETTINGS, suppress_health_check=list(SETTINGS.suppress_health_check)
          + [HealthCheck.function_scoped_fixture])
@given(call_=exit_calls())
def test_async_limiter_aexit_matches_model(loop, call_):
    count_example("AsyncRateLimiter.__aexit__")
    args, kwargs = call_
    context = f"__aexit__(*{args!r}, **{kwargs!r})"
    expected = model_extract("AsyncRateLimiter", "__aexit__", EXIT_PARAMS, 3, args, kwargs)

    async def scenario():
        limiter = ratevane.AsyncRateLimiter(sec=10**9, max_burst=2)
        assert await limiter.acquire() == ()
        future, error = call(limiter.__aexit__, *args, **kwargs)
        if isinstance(expected, Outcome) or error is not None:
            assert_same_error(error, expected, context)
            assert (await limiter.get_remaining())["burst"] == 1, context
            await limiter.release()
        else:
            assert isinstance(future, asyncio.Future), context
            assert await future is False, context
            assert (await limiter.get_remaining())["burst"] == 2, context
        assert await limiter.acquire() == ()
        assert (await limiter.get_remaining())["burst"] == 1

    loop.run_until_complete(asyncio.wait_for(scenario(), 10))


# A few fixed cases from the documented table, so a broken model cannot make
# the random tests agree with a broken limiter by accident.
@pytest.mark.parametrize("cls", [ratevane.RateLimiter, ratevane.AsyncRateLimiter])
@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"sec": 1.5}, TypeError,
         "argument 'sec': 'float' object cannot be interpreted as an integer"),
        ({"sec": 1, "blocking": 1}, TypeError,
         "argument 'blocking': 'int' object cannot be converted to 'PyBool'"),
        ({"sec": -1}, OverflowError, NEGATIVE_TEXT),
        ({"sec": 2**64}, OverflowError, TOO_BIG_TEXT),
        ({"sec": 0, "max_burst": -1}, OverflowError, NEGATIVE_TEXT),
        ({"sec": 0, "day": 0}, ValueError, "Rate limit for second must be greater than 0"),
        ({"sec_window": 5}, ValueError, "At least one rate limit must be specified"),
        ({"sec": 5, "max_burst": 0}, ValueError, "max_burst must be greater than 0"),
        ({"day": 1, "day_window": 2**64 // 86400 + 1}, ValueError, "day_window is too large"),
        ({"min": 1, "min_window": 0}, ValueError, "min_window must be greater than 0"),
        ({"secs": 1}, TypeError, "{}.__new__() got an unexpected keyword argument 'secs'"),
    ],
)
def test_documented_errors(cls, kwargs, error, message):
    with pytest.raises(error) as info:
        cls(**kwargs)
    assert str(info.value) == message.format(cls.__name__)
    expected = model_construct(cls.__name__, (), kwargs)
    assert (expected.type, expected.message) == (error, message.format(cls.__name__))


def test_documented_successes_in_model():
    assert model_construct("RateLimiter", (), {"sec": True})["windows"] == {"second": 1}
    assert model_construct("RateLimiter", (), {"day": 1, "day_window": 2**64 // 86400}) \
        ["windows"] == {"day": 1}
    limiter = ratevane.RateLimiter(day=1, min=2, sec=3)
    assert set(limiter.get_remaining()) == {"second", "minute", "day"}
