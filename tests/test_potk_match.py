"""The match statement on PotK variants (CPython 3.10 and later; conftest.py
leaves this file out on older interpreters)."""
from vica import PotK


def test_match_statement():
    def kind(p):
        match p:
            case PotK.R1R6R12(a, b, c):
                return ("R1R6R12", a, b, c)
            case PotK.R6R12(a, b):
                return ("R6R12", a, b)
            case PotK.R1(a):
                return ("R1", a)
            case PotK.R0():
                return ("R0",)
        return None

    assert kind(PotK.R6R12(1, 2)) == ("R6R12", 1.0, 2.0)
    assert kind(PotK.R1(-4)) == ("R1", -4.0)
    assert kind(PotK.R1R6R12(1, 2, 3)) == ("R1R6R12", 1.0, 2.0, 3.0)
    assert kind(PotK.R0()) == ("R0",)
    assert kind(PotK("R1", [1.0])) is None  # a flag-built value is a plain PotK
