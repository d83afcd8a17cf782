"""Constructor calls of both classes: argument matching, conversion and the
configuration checks, each bad call with its exact exception and message.

Both classes share one constructor; only the owner name in the argument
messages differs, written {cls} in the tables below."""

import operator
import threading
import time

import pytest

import ratevane
from conftest import HUGE, IS_PYPY, between, in_one_interval

U64_MAX = 2**64 - 1


def host_text(call):
    """The message the host itself gives for a failing call."""
    try:
        call()
    except Exception as e:  # noqa: BLE001 - any host error is what we want
        return str(e)
    raise AssertionError("the call did not fail")


# Messages of the host's unsigned 64-bit conversion, which are passed on as
# they are (no argument prefix).
NEGATIVE = ("cannot convert negative integer to unsigned int" if IS_PYPY
            else "can't convert negative int to unsigned")
TOO_LARGE = "integer too large" if IS_PYPY else "int too big to convert"
FLOAT_TEXT = host_text(lambda: operator.index(1.5))
STR_TEXT = host_text(lambda: operator.index("3"))


# --- objects that go through the conversions ----------------------------------


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Count(int):
    pass


class IndexTypeError:
    """__index__ fails with a TypeError that has a cause of its own."""

    cause = KeyError("inner")

    def __index__(self):
        raise TypeError("no index here") from IndexTypeError.cause


class IndexValueError:
    def __index__(self):
        raise ValueError("index refused")


class IndexTypeErrorSubclass:
    class Refusal(TypeError):
        pass

    def __index__(self):
        raise IndexTypeErrorSubclass.Refusal("subclass of TypeError")


# Look-alikes of numpy's bool scalars: the rule looks at the type's
# __module__ and __name__ only.
NumpyFalse = type("bool_", (), {"__module__": "numpy", "__bool__": lambda self: False})
NumpyTrue = type("bool", (), {"__module__": "numpy", "__bool__": lambda self: True})
NumpyNoBool = type("bool_", (), {"__module__": "numpy"})
NotNumpy = type("bool_", (), {"__module__": "mylib", "__bool__": lambda self: False})


def ten(**given):
    """The ten constructor arguments by position, with `given` filled in."""
    names = ["sec", "min", "hour", "day", "sec_window", "min_window", "hour_window",
             "day_window", "blocking", "max_burst"]
    defaults = {"blocking": True}
    return tuple(given.get(n, defaults.get(n)) for n in names)


NO_WINDOW = "At least one rate limit must be specified"
ZERO_BURST = "max_burst must be greater than 0"


def count_zero(window):
    return f"Rate limit for {window} must be greater than 0"


def not_bool(type_name):
    return f"argument 'blocking': '{type_name}' object cannot be converted to 'PyBool'"


# (positional args, keyword args, exception type, message with {cls})
ERRORS = [
    # configuration checks, in their order
    ((), {}, ValueError, NO_WINDOW),
    ((), {"sec": None}, ValueError, NO_WINDOW),
    ((), {"sec_window": 5}, ValueError, NO_WINDOW),
    ((), {"min_window": 0}, ValueError, NO_WINDOW),
    ((), {"max_burst": 0}, ValueError, NO_WINDOW),
    ((), {"blocking": False, "max_burst": 3}, ValueError, NO_WINDOW),
    ((), {"sec": 0}, ValueError, count_zero("second")),
    ((), {"min": 0}, ValueError, count_zero("minute")),
    ((), {"hour": 0}, ValueError, count_zero("hour")),
    ((), {"day": 0}, ValueError, count_zero("day")),
    ((), {"day": 0, "sec": 0}, ValueError, count_zero("second")),
    ((), {"hour": 0, "min": 0}, ValueError, count_zero("minute")),
    ((), {"sec": 1, "day": 0}, ValueError, count_zero("day")),
    ((), {"sec": 0, "max_burst": 0}, ValueError, count_zero("second")),
    ((), {"sec": 5, "max_burst": 0}, ValueError, ZERO_BURST),
    (ten(sec=1, max_burst=0), {}, ValueError, ZERO_BURST),
    # window multipliers: checked right after their own window's count
    ((), {"sec": 1, "sec_window": 0}, ValueError, "sec_window must be greater than 0"),
    ((), {"min": 1, "min_window": 0}, ValueError, "min_window must be greater than 0"),
    ((), {"hour": 1, "hour_window": 0}, ValueError, "hour_window must be greater than 0"),
    ((), {"day": 1, "day_window": 0}, ValueError, "day_window must be greater than 0"),
    ((), {"sec": 1, "sec_window": 0, "min": 0}, ValueError, "sec_window must be greater than 0"),
    ((), {"min": 0, "sec": 1, "sec_window": 0}, ValueError, "sec_window must be greater than 0"),
    ((), {"sec": 0, "sec_window": 0}, ValueError, count_zero("second")),
    ((), {"sec": 1, "min": 0, "min_window": 0}, ValueError, count_zero("minute")),
    ((), {"sec": 1, "sec_window": 0, "max_burst": 0}, ValueError,
     "sec_window must be greater than 0"),
    ((), {"day": 1, "day_window": U64_MAX}, ValueError, "day_window is too large"),
    ((), {"min": 1, "min_window": U64_MAX // 60 + 1}, ValueError, "min_window is too large"),
    ((), {"hour": 1, "hour_window": U64_MAX // 3600 + 1}, ValueError,
     "hour_window is too large"),
    ((), {"sec": 1, "min": 1, "min_window": U64_MAX, "hour": 0}, ValueError,
     "min_window is too large"),
    # integer conversion
    ((), {"sec": 1.5}, TypeError, f"argument 'sec': {FLOAT_TEXT}"),
    ((), {"sec": 1.0}, TypeError, f"argument 'sec': {FLOAT_TEXT}"),
    ((), {"min": "3"}, TypeError, f"argument 'min': {STR_TEXT}"),
    ((), {"sec": 1, "day_window": 2.0}, TypeError, f"argument 'day_window': " +
     host_text(lambda: operator.index(2.0))),
    ((), {"sec": 1, "max_burst": 1.5}, TypeError, f"argument 'max_burst': {FLOAT_TEXT}"),
    ((), {"sec": -1}, OverflowError, NEGATIVE),
    ((), {"hour": 2**64}, OverflowError, TOO_LARGE),
    ((), {"sec": 1, "max_burst": -1}, OverflowError, NEGATIVE),
    ((), {"sec": 1, "max_burst": 2**64}, OverflowError, TOO_LARGE),
    ((), {"sec": Index(-1)}, OverflowError, NEGATIVE),
    ((), {"sec": Index(2**64)}, OverflowError, TOO_LARGE),
    ((), {"sec": IndexValueError()}, ValueError, "index refused"),
    ((), {"sec": IndexTypeError()}, TypeError, "argument 'sec': no index here"),
    ((), {"sec": IndexTypeErrorSubclass()}, IndexTypeErrorSubclass.Refusal,
     "subclass of TypeError"),
    # a multiplier without its count is still converted
    ((), {"sec": 1, "min_window": -1}, OverflowError, NEGATIVE),
    # every argument is converted before the first configuration check,
    # in positional order, and the first failure is reported
    ((), {"sec": 0, "max_burst": -1}, OverflowError, NEGATIVE),
    ((), {"max_burst": -1, "sec": 1.0}, TypeError, f"argument 'sec': {FLOAT_TEXT}"),
    ((), {"sec": 1, "min": -1, "blocking": 1}, OverflowError, NEGATIVE),
    ((), {"sec": 1, "blocking": 1, "max_burst": -1}, TypeError, not_bool("int")),
    # bool conversion
    ((), {"sec": 1, "blocking": 1}, TypeError, not_bool("int")),
    ((), {"sec": 1, "blocking": 0}, TypeError, not_bool("int")),
    ((), {"sec": 1, "blocking": None}, TypeError, not_bool("NoneType")),
    ((), {"sec": 1, "blocking": "yes"}, TypeError, not_bool("str")),
    ((), {"sec": 1, "blocking": 1.0}, TypeError, not_bool("float")),
    ((), {"sec": 1, "blocking": NotNumpy()}, TypeError, not_bool("bool_")),
    ((), {"sec": 1, "blocking": NumpyNoBool()}, TypeError,
     "argument 'blocking': object of type '<class 'numpy.bool_'>' does not define a "
     "'__bool__' conversion"),
    (ten(sec=1, blocking=None), {}, TypeError, not_bool("NoneType")),
    # argument matching
    (tuple(range(11)), {}, TypeError,
     "{cls}.__new__() takes from 0 to 10 positional arguments but 11 were given"),
    (tuple(range(12)), {"secs": 1}, TypeError,
     "{cls}.__new__() takes from 0 to 10 positional arguments but 12 were given"),
    ((5,), {"sec": 5}, TypeError, "{cls}.__new__() got multiple values for argument 'sec'"),
    (ten(sec=1), {"max_burst": 1}, TypeError,
     "{cls}.__new__() got multiple values for argument 'max_burst'"),
    ((), {"secs": 1}, TypeError, "{cls}.__new__() got an unexpected keyword argument 'secs'"),
    ((), {"sec": 1, "burst": 2}, TypeError,
     "{cls}.__new__() got an unexpected keyword argument 'burst'"),
    # keywords are looked at in the order given; the first offender counts
    ((1,), {"bogus": 1, "sec": 2}, TypeError,
     "{cls}.__new__() got an unexpected keyword argument 'bogus'"),
    ((1,), {"sec": 2, "bogus": 1}, TypeError,
     "{cls}.__new__() got multiple values for argument 'sec'"),
    # matching comes before conversion
    ((1.5,), {"secs": 1}, TypeError, "{cls}.__new__() got an unexpected keyword argument 'secs'"),
]


def shown(value):
    if value is None or isinstance(value, (bool, int, float, str)):
        return repr(value)
    return type(value).__name__ + "()"


def case_id(case):
    args, kwargs, _, message = case
    text = ", ".join([shown(a) for a in args] + [f"{k}={shown(v)}" for k, v in kwargs.items()])
    return f"({text[:60]})" + (f"->{message[:40]}" if message else "")


@pytest.mark.parametrize("args,kwargs,error,message", ERRORS, ids=[case_id(c) for c in ERRORS])
def test_refused(limiter_class, args, kwargs, error, message):
    with pytest.raises(error) as info:
        limiter_class(*args, **kwargs)
    assert type(info.value) is error
    assert str(info.value) == message.format(cls=limiter_class.__name__)
    assert info.value.args == (str(info.value),)


def test_renamed_type_error_keeps_the_cause(limiter_class):
    with pytest.raises(TypeError) as info:
        limiter_class(sec=IndexTypeError())
    assert str(info.value) == "argument 'sec': no index here"
    assert info.value.__cause__ is IndexTypeError.cause


def test_other_conversion_errors_pass_unchanged(limiter_class):
    with pytest.raises(OverflowError) as info:
        limiter_class(sec=-1)
    assert str(info.value) == NEGATIVE
    assert info.value.__cause__ is None


def test_keyword_that_is_not_a_string(limiter_class):
    with pytest.raises(TypeError):
        limiter_class(**{"sec": 1, 5: 1})


def test_errors_are_ordinary_exceptions(limiter_class):
    # Configuration and argument errors are caught by an `except Exception`.
    for kwargs in [{}, {"sec": 0}, {"sec": 1.5}, {"sec": -1}, {"secs": 1}]:
        try:
            limiter_class(**kwargs)
        except Exception:
            pass
        else:
            pytest.fail(f"{kwargs} was accepted")


# --- accepted configurations -------------------------------------------------

# (positional args, keyword args, get_remaining() of a new RateLimiter)
ACCEPTED = [
    ((5,), {}, {"second": 5}),
    ((), {"sec": True}, {"second": 1}),
    ((), {"sec": U64_MAX}, {"second": U64_MAX}),
    ((), {"sec": Index(3)}, {"second": 3}),
    ((), {"sec": Count(4)}, {"second": 4}),
    ((), {"min": 7, "sec": None}, {"minute": 7}),
    ((), {"hour": 10, "hour_window": 2}, {"hour": 10}),
    ((), {"sec": 3, "sec_window": 10}, {"second": 3}),
    ((), {"sec": 3, "sec_window": U64_MAX}, {"second": 3}),  # 1 s × multiplier fits
    ((), {"hour": 1, "hour_window": U64_MAX // 3600}, {"hour": 1}),
    ((), {"day": 1, "min": 2, "sec": 3}, {"second": 3, "minute": 2, "day": 1}),
    ((), {"day": 4, "hour": 3, "min": 2, "sec": 1},
     {"second": 1, "minute": 2, "hour": 3, "day": 4}),
    # a multiplier without its count is ignored, even one that could not work
    ((), {"sec": 2, "min_window": 0, "day_window": U64_MAX}, {"second": 2}),
    ((), {"sec": 2, "max_burst": None}, {"second": 2}),
    ((), {"sec": 2, "max_burst": 3}, {"second": 2, "burst": 3}),
    ((), {"sec": 2, "max_burst": True}, {"second": 2, "burst": 1}),
    ((), {"sec": 2, "max_burst": U64_MAX}, {"second": 2, "burst": U64_MAX}),
    ((), {"sec": 2, "blocking": NumpyFalse()}, {"second": 2}),
    ((), {"sec": 2, "blocking": NumpyTrue()}, {"second": 2}),
    (ten(sec=2, blocking=False), {}, {"second": 2}),
    (ten(sec=2, max_burst=4), {}, {"second": 2, "burst": 4}),
]


@pytest.mark.parametrize("args,kwargs,remaining", ACCEPTED,
                         ids=[case_id((a, k, None, "")) for a, k, _ in ACCEPTED])
def test_accepted(limiter_class, args, kwargs, remaining):
    limiter = limiter_class(*args, **kwargs)
    assert type(limiter) is limiter_class
    if limiter_class is ratevane.RateLimiter:
        assert limiter.get_remaining() == remaining


def is_blocking(limiter):
    """Whether a limiter with max_burst=1 and room in its windows waits:
    with its one burst permit held, a second acquire either returns False
    (a non-blocking limiter) or waits until the permit is released."""
    assert limiter.acquire() is True
    outcome = []
    calling = threading.Event()

    def call():
        calling.set()
        outcome.append(limiter.acquire())

    waiter = threading.Thread(target=call, daemon=True)
    waiter.start()
    assert calling.wait(10.0), "the waiter thread never started"
    # From here a non-blocking call is microseconds of work: if the thread
    # is still in it after half a second, it waits.
    waiter.join(0.5)
    waited = waiter.is_alive()
    limiter.release()
    # A waiting acquire looks again every 100 ms at most: fifty looks.
    waiter.join(5.0)
    assert not waiter.is_alive()
    if outcome == [False]:
        return False
    assert outcome == [True] and waited, "granted while the only burst permit was held"
    limiter.release()
    return True


@pytest.mark.parametrize("args,kwargs,blocking", [
    ((), {}, True),
    ((), {"blocking": True}, True),
    ((), {"blocking": False}, False),
    ((), {"blocking": NumpyTrue()}, True),
    ((), {"blocking": NumpyFalse()}, False),
    (ten(sec=HUGE, blocking=False, max_burst=1), None, False),
    (ten(sec=HUGE, blocking=True, max_burst=1), None, True),
], ids=["default", "True", "False", "numpy-True", "numpy-False", "positional-False",
        "positional-True"])
def test_blocking_switch(args, kwargs, blocking):
    if kwargs is None:
        limiter = ratevane.RateLimiter(*args)
    else:
        limiter = ratevane.RateLimiter(sec=HUGE, max_burst=1, **kwargs)
    assert is_blocking(limiter) is blocking


# (configuration, window length in seconds) for one full window: the waiting
# time runs to the end of the epoch-aligned interval of that length.
LENGTHS = [
    ({"sec": 1}, 1),
    ({"sec": 1, "sec_window": 10}, 10),
    ({"min": 1}, 60),
    ({"min": 1, "min_window": 5}, 300),
    ({"hour": 1}, 3600),
    ({"hour": 1, "hour_window": 2}, 7200),
    ({"day": 1}, 86400),
    ({"min": 1, "min_window": 1440}, 86400),
    ({"day": 1, "day_window": 7}, 7 * 86400),
]


@pytest.mark.parametrize("config,length", LENGTHS, ids=[str(c) for c, _ in LENGTHS])
def test_window_length(config, length):
    def measure():
        limiter = ratevane.RateLimiter(blocking=False, **config)
        assert limiter.wait_time() is None
        assert limiter.acquire() is True
        assert limiter.acquire() is False
        before = length - time.time() % length
        waited = limiter.wait_time()
        return waited, before, length - time.time() % length

    waited, before, after = in_one_interval(measure, period=1, room=0.2)
    assert between(waited, after, before)
