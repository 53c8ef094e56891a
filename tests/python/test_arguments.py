"""Argument parsing and conversions shared by every method of the module."""

import math

import pytest
from _corvantic_testing import parse

DEFAULTS = ("x", 1_000_000_000, 4, None, False, None, 0, 0.25)


def test_defaults_positional_and_keywords():
    assert parse("x") == DEFAULTS
    assert parse("x", 0.5) == ("x", 500_000_000, *DEFAULTS[2:])
    got = parse(text="é", seconds=2, retries=255, count=7, flag=True, label="l", signed=-5, ratio=1)
    assert got == ("é", 2_000_000_000, 255, 7, True, "l", -5, 1.0)
    assert parse("x", count=None, label=None) == DEFAULTS


def test_signature_is_the_first_docstring_line():
    assert parse.__text_signature__ == (
        "($module, /, text, seconds=1.0, *, retries=4, count=None, flag=False, label=None, signed=0, ratio=0.25)"
    )


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "parse() missing 1 required positional argument: 'text'"),
        (("x", 1.0, 3), {}, "parse() takes from 1 to 2 positional arguments but 3 were given"),
        (("x",), {"bogus": 1}, "parse() got an unexpected keyword argument 'bogus'"),
        (("x",), {"text": "y"}, "parse() got multiple values for argument 'text'"),
        (("x", 1.0), {"seconds": 2.0}, "parse() got multiple values for argument 'seconds'"),
    ],
)
def test_signature_mismatches_raise_type_error(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        parse(*args, **kwargs)
    assert str(info.value) == message
    assert not getattr(info.value, "__notes__", None)


@pytest.mark.parametrize(
    "kwargs, exc_type, parameter",
    [
        ({"text": 5}, TypeError, "text"),
        ({"text": b"x"}, TypeError, "text"),
        ({"text": "\ud800"}, UnicodeEncodeError, "text"),
        ({"seconds": "1"}, TypeError, "seconds"),
        ({"retries": 256}, OverflowError, "retries"),
        ({"retries": -1}, OverflowError, "retries"),
        ({"retries": 1.0}, TypeError, "retries"),
        ({"count": 2**32}, OverflowError, "count"),
        ({"count": 2**70}, OverflowError, "count"),
        ({"flag": 1}, TypeError, "flag"),
        ({"flag": None}, TypeError, "flag"),
        ({"label": 3}, TypeError, "label"),
        ({"signed": 2**63}, OverflowError, "signed"),
        ({"signed": -(2**63) - 1}, OverflowError, "signed"),
        ({"signed": "3"}, TypeError, "signed"),
    ],
)
def test_conversion_failures_keep_their_type_and_name_the_parameter(kwargs, exc_type, parameter):
    kwargs.setdefault("text", "x")
    with pytest.raises(exc_type) as info:
        parse(**kwargs)
    assert info.value.__notes__ == [f"while processing '{parameter}'"]


def test_integer_range_edges_are_accepted():
    assert parse("x", retries=0)[2] == 0
    assert parse("x", count=2**32 - 1)[3] == 2**32 - 1
    assert parse("x", signed=2**63 - 1)[6] == 2**63 - 1
    assert parse("x", signed=-(2**63))[6] == -(2**63)
    assert parse("x", signed=True)[6] == 1


def test_float_conversion_accepts_what_float_accepts():
    class Half:
        def __float__(self):
            return 0.5

    assert parse("x", ratio=Half())[7] == 0.5
    assert parse("x", seconds=Half())[1] == 500_000_000
    assert parse("x", ratio=3)[7] == 3.0


def test_numpy_bool_is_a_bool():
    np = pytest.importorskip("numpy")
    assert parse("x", flag=np.True_)[4] is True
    assert parse("x", flag=np.bool_(False))[4] is False
    with pytest.raises(TypeError):
        parse("x", flag=np.int64(1))


@pytest.mark.parametrize(
    "seconds, nanos",
    [(0.0, 0), (-0.0, 0), (0.2, 200_000_000), (1e-9, 1), (1.6e-9, 2), (3.000000001, 3_000_000_001), (86400, 86_400_000_000_000)],
)
def test_seconds_become_exact_durations(seconds, nanos):
    assert parse("x", seconds)[1] == nanos


@pytest.mark.parametrize(
    "seconds, message",
    [
        (-1.0, "cannot convert float seconds to Duration: value is negative"),
        (-1e-300, "cannot convert float seconds to Duration: value is negative"),
        (-math.inf, "cannot convert float seconds to Duration: value is negative"),
        (math.nan, "cannot convert float seconds to Duration: value is either too big or NaN"),
        (math.inf, "cannot convert float seconds to Duration: value is either too big or NaN"),
        (1e300, "cannot convert float seconds to Duration: value is either too big or NaN"),
    ],
)
def test_bad_seconds_raise_a_base_exception(seconds, message):
    with pytest.raises(BaseException) as info:
        parse("x", seconds)
    assert not isinstance(info.value, Exception)
    assert str(info.value) == message
    assert info.value.__notes__ == ["while processing 'seconds'"]
