"""PotK and its variant classes as seen from Python."""
import sys

import pytest

import vica
from vica import PotK

VARIANTS = [
    (PotK.R0, "R0", ()),
    (PotK.R1, "R1", ("_0",)),
    (PotK.R6R12, "R6R12", ("_0", "_1")),
    (PotK.R1R6R12, "R1R6R12", ("_0", "_1", "_2")),
]


def test_class_shapes():
    assert PotK.__module__ == "builtins" and PotK.__name__ == "PotK"
    if sys.version_info >= (3, 10):  # 3.9's PyType_FromSpec drops a class's signature
        assert PotK.__text_signature__ == "(flag, r)"
    assert PotK.__bases__ == (object,)
    assert [PotK.R0, PotK.R1, PotK.R6R12, PotK.R1R6R12] == [v[0] for v in VARIANTS]
    for cls, name, fields in VARIANTS:
        assert cls.__bases__ == (PotK,)
        assert cls.__name__ == name and cls.__qualname__ == "PotK." + name
        assert cls.__module__ == "builtins"
        if sys.version_info >= (3, 10):  # 3.9's PyType_FromSpec drops a class's signature
            assert cls.__text_signature__ == "(" + ", ".join(fields) + ")"
        assert cls.__match_args__ == fields
        assert not hasattr(cls(*[0.0] * len(fields)), "__dict__")


@pytest.mark.parametrize("cls,name,fields", VARIANTS)
def test_variant_values_len_and_items(cls, name, fields):
    values = [1.5, -2.0, 3][: len(fields)]
    obj = cls(*values)
    assert isinstance(obj, PotK) and type(obj) is cls
    assert len(obj) == len(fields)
    assert bool(obj) is (len(fields) > 0)
    for i, f in enumerate(fields):
        got = getattr(obj, f)
        assert type(got) is float and got == float(values[i])
        assert obj[i] == float(values[i])
        with pytest.raises(AttributeError):
            setattr(obj, f, 9.0)
    with pytest.raises(IndexError, match="^tuple index out of range$"):
        obj[len(fields)]
    with pytest.raises(IndexError):
        obj[2**64 - 1]
    with pytest.raises(OverflowError):
        obj[-1]
    with pytest.raises(TypeError, match="'float' object cannot be interpreted as an integer"):
        obj[0.0]
    with pytest.raises(AttributeError):
        obj.anything = 1
    for missing in ("_0", "_1", "_2")[len(fields):]:
        assert not hasattr(obj, missing)
    # By keyword, in any order.
    assert cls(**dict(reversed(list(zip(fields, values))))).__class__ is cls


def test_keywords_in_any_order():
    x = PotK.R6R12(_1=2.0, _0=1.0)
    assert (x._0, x._1) == (1.0, 2.0)
    assert PotK.R1(True)._0 == 1.0
    assert PotK.R1(3)[0] == 3.0 and PotK.R6R12(1, 3)[True] == 3.0


def test_subclassing_rules():
    class Y(PotK):
        pass

    y = Y("R1", [2.0])
    assert type(y) is Y and isinstance(y, PotK)
    for cls, _, _ in VARIANTS:
        with pytest.raises(TypeError, match="not an acceptable base type"):
            type("X", (cls,), {})


@pytest.mark.parametrize(
    "flag,r,line,accepted",
    [
        ("R1R6R12", [1.0, 2.0, 3.0], None, True),
        ("R6R12", [1, 2], None, True),
        ("R1", [2.5], None, True),
        ("R0", [], "Err<PotK::R?([])> => PotK::R0\n", False),
        ("r1", [1.0], "Err<PotK::R?([1.0])> => PotK::R0\n", False),
        ("R1 ", [1.0], "Err<PotK::R?([1.0])> => PotK::R0\n", False),
        ("R6R12", [1.0], "Err<PotK::R6R12([1.0])> => PotK::R0\n", False),
        ("R1", [], "Err<PotK::R1([])> => PotK::R0\n", False),
        ("R1", [1, 2], "Err<PotK::R1([1.0, 2.0])> => PotK::R0\n", False),
        ("R1R6R12", (1.0, 2.0, 3.0, 4.0), "Err<PotK::R1R6R12([1.0, 2.0, 3.0, 4.0])> => PotK::R0\n", False),
        ("R1", [1e-5, -0.0, 1e16, float("nan")], "Err<PotK::R1([1e-5, -0.0, 1e16, NaN])> => PotK::R0\n", False),
    ],
)
def test_flag_constructor(capfd, flag, r, line, accepted):
    p = PotK(flag, r)
    out = capfd.readouterr().out
    assert type(p) is PotK
    assert not hasattr(p, "_0")
    assert out == ("" if line is None else line)


def test_flag_constructor_by_keyword(capfd):
    PotK(r=[], flag="R1")
    assert capfd.readouterr().out == "Err<PotK::R1([])> => PotK::R0\n"


def test_refusal_line_goes_to_fd_not_sys_stdout(capfd, monkeypatch):
    import io

    fake = io.StringIO()
    monkeypatch.setattr("sys.stdout", fake)
    PotK("nope", [])
    assert fake.getvalue() == ""
    assert capfd.readouterr().out == "Err<PotK::R?([])> => PotK::R0\n"


def test_constructor_argument_errors():
    cases = [
        (lambda: PotK.R0(1), "R0.__new__() takes 0 positional arguments but 1 was given"),
        (lambda: PotK.R1(), "R1.__new__() missing 1 required positional argument: '_0'"),
        (lambda: PotK.R6R12(1.0), "R6R12.__new__() missing 1 required positional argument: '_1'"),
        (lambda: PotK.R1R6R12(), "R1R6R12.__new__() missing 3 required positional arguments: '_0', '_1', and '_2'"),
        (lambda: PotK.R1R6R12(1), "R1R6R12.__new__() missing 2 required positional arguments: '_1' and '_2'"),
        (lambda: PotK("R1", [1.0], 3, x=1), "PotK.__new__() takes 2 positional arguments but 3 were given"),
        (lambda: PotK.R1(1, 2), "R1.__new__() takes 1 positional arguments but 2 were given"),
        (lambda: PotK.R1(1, _0=2), "R1.__new__() got multiple values for argument '_0'"),
        (lambda: PotK.R1(x=1), "R1.__new__() got an unexpected keyword argument 'x'"),
        (lambda: PotK(1, [1.0]), "argument 'flag': 'int' object is not an instance of 'str'"),
        (lambda: PotK(None, [1.0]), "argument 'flag': 'None' is not an instance of 'str'"),
        (lambda: PotK("R1", "a"), "argument 'r': Can't extract `str` to `Vec`"),
        (lambda: PotK("R1", 5), "argument 'r': 'int' object is not an instance of 'Sequence'"),
        (lambda: PotK("R1", {1: 2}), "argument 'r': 'dict' object is not an instance of 'Sequence'"),
        (lambda: PotK("R1", ["x"]), "argument 'r': must be real number, not str"),
        (lambda: PotK.R1("x"), "argument '_0': must be real number, not str"),
        (lambda: PotK.R6R12(1.0, None), "argument '_1': must be real number, not NoneType"),
    ]
    for call, message in cases:
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message


def test_non_type_errors_pass_unprefixed():
    with pytest.raises(OverflowError) as info:
        PotK.R1(10**400)
    assert not str(info.value).startswith("argument")
    with pytest.raises(UnicodeEncodeError):
        PotK("\udc80", [])
