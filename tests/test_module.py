"""The module object, its registration and the class shapes shared by every class."""
import importlib
import sys

import pytest

import vica


def test_all_lists_registered_names_in_order():
    assert vica.__all__[:2] == ["hello", "PotK"]
    assert vica.__all__ == [n for n in ["hello", "PotK", "Uij", "Bms", "Cms"] if hasattr(vica, n)]
    assert not hasattr(vica, "R1")
    assert vica.PotK.R1 is not None


def test_hello_is_fixed_and_takes_no_arguments():
    first = vica.hello()
    assert isinstance(first, str) and len(first) == 23 and "\n" not in first
    assert vica.hello() == first
    assert vica.hello.__text_signature__ == "()"
    with pytest.raises(TypeError):
        vica.hello(1)


def test_reimport_creates_new_module_with_same_classes():
    old = sys.modules.pop("vica")
    try:
        fresh = importlib.import_module("vica")
        assert fresh is not old
        assert fresh.PotK is old.PotK
        assert fresh.__all__ == old.__all__ and fresh.__all__ is not old.__all__
        assert fresh.hello is not old.hello
    finally:
        sys.modules["vica"] = old


def test_panic_exception_is_base_exception_not_module_attribute():
    import _vica_testing as t

    with pytest.raises(BaseException) as info:
        try:
            t.internal_failure("something broke")
        except Exception:  # must not catch it
            pytest.fail("PanicException was caught as Exception")
    cls = type(info.value)
    assert cls.__module__ == "pyo3_runtime" and cls.__name__ == "PanicException"
    assert cls.__bases__ == (BaseException,)
    assert info.value.args == ("something broke",)
    assert "BaseException" in cls.__doc__
    assert not hasattr(vica, "PanicException")


def test_panic_writes_diagnostic_to_stderr(capfd):
    import _vica_testing as t

    with pytest.raises(BaseException):
        t.internal_failure("the message")
    err = capfd.readouterr().err
    lines = err.split("\n")
    assert lines[0] == ""
    assert "main" in lines[1] and "src/" in lines[1]
    assert lines[2] == "the message"
    assert "backtrace" in lines[3]


def test_panic_without_message_carries_generic_text():
    import _vica_testing as t

    with pytest.raises(BaseException) as info:
        t.internal_failure("")
    assert len(info.value.args) == 1 and info.value.args[0]
