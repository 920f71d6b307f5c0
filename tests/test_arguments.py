"""Argument matching and conversion rules shared by every operation (fast-call path)."""
import pytest

import _vica_testing as t


def err(call, exc=TypeError):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc
    return str(info.value)


def test_matching_messages_and_their_priority():
    n = "_vica_testing.split_hms()"
    assert t.split_hms(nanoseconds=1, seconds=3600) == (1, 0, 0)
    assert err(lambda: t.split_hms(1, 2, 3)) == f"{n} takes 2 positional arguments but 3 were given"
    assert err(lambda: t.fmt_plain(1, 2)) == "_vica_testing.fmt_plain() takes 1 positional arguments but 2 were given"
    # Too many positional arguments beat a bad keyword; a bad keyword beats a missing argument.
    assert err(lambda: t.split_hms(1, 2, 3, x=1)).endswith("but 3 were given")
    assert err(lambda: t.split_hms(x=1)) == f"{n} got an unexpected keyword argument 'x'"
    assert err(lambda: t.split_hms(1, seconds=2)) == f"{n} got multiple values for argument 'seconds'"
    assert err(lambda: t.split_hms(1, y=1, seconds=2)) == f"{n} got an unexpected keyword argument 'y'"
    assert err(lambda: t.split_hms()) == f"{n} missing 2 required positional arguments: 'seconds' and 'nanoseconds'"
    assert err(lambda: t.split_hms(nanoseconds=0)) == f"{n} missing 1 required positional argument: 'seconds'"
    assert err(lambda: t.fmt_plain(**{"x": 1.0, "\udc80": 2})).startswith("_vica_testing.fmt_plain() got an unexpected")


def test_first_failing_conversion_in_declaration_order_decides():
    # Both are wrong; the first parameter is reported, even when given last by keyword.
    assert err(lambda: t.split_hms(nanoseconds="b", seconds="a")).startswith("argument 'seconds': ")


class Idx:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class Flt:
    def __float__(self):
        return 2.5


def test_unsigned_conversion():
    assert t.split_hms(True, 0) == (0, 0, 1)
    assert t.split_hms(Idx(61), 0) == (0, 1, 1)
    assert t.split_hms(2**64 - 1, 0)[2] == 15
    assert err(lambda: t.split_hms(2.0, 0)) == "argument 'seconds': 'float' object cannot be interpreted as an integer"
    assert err(lambda: t.split_hms("3", 0)) == "argument 'seconds': 'str' object cannot be interpreted as an integer"
    assert not err(lambda: t.split_hms(-1, 0), OverflowError).startswith("argument")
    assert not err(lambda: t.split_hms(2**64, 0), OverflowError).startswith("argument")
    assert not err(lambda: t.split_hms(Idx(-5), 0), OverflowError).startswith("argument")


def test_float_conversion():
    assert t.fmt_plain(True) == "1"
    assert t.fmt_plain(3) == "3"
    assert t.fmt_plain(Flt()) == "2.5"
    assert t.fmt_plain(Idx(7)) == "7"
    assert err(lambda: t.fmt_plain("1")) == "argument 'x': must be real number, not str"
    assert err(lambda: t.fmt_plain(None)) == "argument 'x': must be real number, not NoneType"
    assert "argument" not in err(lambda: t.fmt_plain(10**400), OverflowError)


def test_type_error_prefix_keeps_cause_and_other_errors_pass_through():
    class Bad:
        def __float__(self):
            try:
                raise KeyError("inner")
            except KeyError as e:
                raise TypeError("no float here") from e

    class Val:
        def __float__(self):
            raise ValueError("plain value error")

    class SubTypeError(TypeError):
        pass

    class Sub:
        def __float__(self):
            raise SubTypeError("subclass")

    with pytest.raises(TypeError) as info:
        t.fmt_plain(Bad())
    assert str(info.value) == "argument 'x': no float here"
    assert isinstance(info.value.__cause__, KeyError)
    assert err(lambda: t.fmt_plain(Val()), ValueError) == "plain value error"
    with pytest.raises(SubTypeError, match="^subclass$"):
        t.fmt_plain(Sub())


def test_text_conversion():
    assert err(lambda: t.progress_print(b"x\n")) == "argument 'text': 'bytes' object is not an instance of 'str'"
    with pytest.raises(UnicodeEncodeError):
        t.progress_print("\udc80")

    class S(str):
        pass

    t.progress_print(S(""))


def test_molecule_shapes():
    assert t.molecule([]) == []
    assert t.molecule(((1, 2, 3),)) == [(1.0, 2.0, 3.0)]
    assert t.molecule([range(3)]) == [(0.0, 1.0, 2.0)]
    assert err(lambda: t.molecule(x for x in [[1, 2, 3]])) == (
        "argument 'mol': 'generator' object is not an instance of 'Sequence'"
    )
    assert err(lambda: t.molecule("abc")) == "argument 'mol': Can't extract `str` to `Vec`"
    assert err(lambda: t.molecule(["abc"])) == "argument 'mol': must be real number, not str"
    assert err(lambda: t.molecule([(1, 2)]), ValueError) == "expected a sequence of length 3 (got 2)"
    assert err(lambda: t.molecule([(1, 2, 3, 4)]), ValueError) == "expected a sequence of length 3 (got 4)"
    assert err(lambda: t.molecule([5])) == "argument 'mol': 'int' object is not an instance of 'Sequence'"
    assert err(lambda: t.molecule([None])) == "argument 'mol': 'None' is not an instance of 'Sequence'"
    assert err(lambda: t.molecule({(1, 2, 3)})) == "argument 'mol': 'set' object is not an instance of 'Sequence'"

    class Outer:
        class Inner:
            pass

    assert err(lambda: t.molecule([Outer.Inner()])) == (
        "argument 'mol': 'test_molecule_shapes.<locals>.Outer.Inner' object is not an instance of 'Sequence'"
    )


def test_sequence_length_failure_is_ignored_for_lists():
    class Seq:
        def __len__(self):
            raise RuntimeError("no length")

        def __getitem__(self, i):
            if i < 2:
                return (i, i, i)
            raise IndexError

    assert t.molecule(Seq()) == [(0.0, 0.0, 0.0), (1.0, 1.0, 1.0)]
