import pytest

from test_arguments import Seq

U64_MAX = 2**64 - 1


@pytest.mark.parametrize(
    "args, kwargs, fields, text",
    [
        ((), {}, (3, 256, 16), "LshConfig(families=3, bits=256, bands=16)"),
        ((1, 2, 3), {}, (1, 2, 3), "LshConfig(families=1, bits=2, bands=3)"),
        ((), {"bands": 0}, (3, 256, 0), "LshConfig(families=3, bits=256, bands=0)"),
        ((7,), {"bands": 9}, (7, 256, 9), "LshConfig(families=7, bits=256, bands=9)"),
        ((), {"bits": 0, "families": True}, (1, 0, 16), "LshConfig(families=1, bits=0, bands=16)"),
        ((U64_MAX,), {}, (U64_MAX, 256, 16), f"LshConfig(families={U64_MAX}, bits=256, bands=16)"),
    ],
)
def test_config_fields_and_repr(native, args, kwargs, fields, text):
    config = native.LshConfig(*args, **kwargs)
    assert type(config) is native.LshConfig
    assert (config.families, config.bits, config.bands) == fields
    assert all(type(v) is int for v in (config.families, config.bits, config.bands))
    assert repr(config) == text and str(config) == text


E = "\u00e9"


@pytest.mark.parametrize(
    "args, text",
    [
        ((1, 8, "ab", []), "LshFamily(family=1, bits=8, signature='ab...', bands=0)"),
        (
            (0, 256, "0123456789abcdef", ["0123", "4567"]),
            "LshFamily(family=0, bits=256, signature='01234567...', bands=2)",
        ),
        ((0, 256, "01234567", ["x"]), "LshFamily(family=0, bits=256, signature='01234567...', bands=1)"),
        ((0, 0, "", []), "LshFamily(family=0, bits=0, signature='...', bands=0)"),
        ((2, 3, E * 10, ["a"] * 5), f"LshFamily(family=2, bits=3, signature='{E * 8}...', bands=5)"),
        (
            (2, 3, "\U0001f600" * 9 + "z", []),
            f"LshFamily(family=2, bits=3, signature='{chr(0x1F600) * 8}...', bands=0)",
        ),
        ((0, 1, "it's\n", []), "LshFamily(family=0, bits=1, signature='it's\n...', bands=0)"),
        (
            (U64_MAX, U64_MAX, "a\x00bcdefghi", []),
            f"LshFamily(family={U64_MAX}, bits={U64_MAX}, signature='a\x00bcdefg...', bands=0)",
        ),
    ],
)
def test_family_repr(native, args, text):
    family = native.LshFamily(*args)
    assert repr(family) == text and str(family) == text


@pytest.mark.parametrize(
    "signature, bands",
    [
        ("35a2e263", ["35a2", "e263"]),
        ("", []),
        (E * 3 + "\x00\U0001f600", ["", E, "\x00"]),
        ("not hex at all", ["zz"] * 40),
    ],
)
def test_family_fields_round_trip(native, signature, bands):
    family = native.LshFamily(5, 64, signature, bands)
    assert (family.family, family.bits, family.signature, family.bands) == (5, 64, signature, bands)
    assert type(family.signature) is str and type(family.bands) is list
    assert all(type(b) is str for b in family.bands)


def test_family_keyword_and_subclass_arguments(native):
    class S(str):
        pass

    family = native.LshFamily(True, bits=1, bands=(S("x"), "y"), signature=S("a"))
    assert (family.family, family.bits, family.signature, family.bands) == (1, 1, "a", ["x", "y"])
    assert type(family.signature) is str and all(type(b) is str for b in family.bands)
    assert native.LshFamily(0, 1, "a", Seq(["p", "q"], length=RuntimeError())).bands == ["p", "q"]
    assert native.LshFamily(0, 1, "a", Seq(["p"], length=5)).bands == ["p"]


def test_bands_is_a_new_list_each_read(native):
    family = native.LshFamily(0, 256, "ab", ("x", "y"))
    first, second = family.bands, family.bands
    assert first == second == ["x", "y"] and first is not second
    first.append("z")
    first[0] = "changed"
    assert family.bands == ["x", "y"]
    assert repr(family).endswith("bands=2)")


@pytest.mark.parametrize(
    "make, attr",
    [
        (lambda n: n.LshConfig(), "families"),
        (lambda n: n.LshConfig(), "bits"),
        (lambda n: n.LshConfig(), "bands"),
        (lambda n: n.LshFamily(0, 1, "a", []), "family"),
        (lambda n: n.LshFamily(0, 1, "a", []), "bits"),
        (lambda n: n.LshFamily(0, 1, "a", []), "signature"),
        (lambda n: n.LshFamily(0, 1, "a", []), "bands"),
    ],
)
def test_attributes_are_read_only(native, make, attr):
    obj = make(native)
    before = getattr(obj, attr)
    with pytest.raises(AttributeError):
        setattr(obj, attr, before)
    with pytest.raises(AttributeError):
        delattr(obj, attr)
    assert getattr(obj, attr) == before


@pytest.mark.parametrize(
    "args, exc_type, parameter, message",
    [
        (("0", 256, "ab", []), TypeError, "family", None),
        ((0, 256, b"ab", []), TypeError, "signature", "'bytes' object is not an instance of 'str'"),
        ((0, 256, None, []), TypeError, "signature", "'None' is not an instance of 'str'"),
        ((0, 256, "ab", "cd"), TypeError, "bands", "Can't extract `str` to `Vec`"),
        ((0, 256, "ab", ["cd", 1]), TypeError, "bands", "'int' object is not an instance of 'str'"),
        ((0, 256, "ab", [None]), TypeError, "bands", "'None' is not an instance of 'str'"),
        ((0, 256, "ab", None), TypeError, "bands", "'None' is not an instance of 'Sequence'"),
        ((0, 256, "ab", {"x"}), TypeError, "bands", "'set' object is not an instance of 'Sequence'"),
        ((0, 256, "ab", (c for c in "ab")), TypeError, "bands", "'generator' object is not an instance of 'Sequence'"),
        ((0, 256, "ab", [b"x"]), TypeError, "bands", "'bytes' object is not an instance of 'str'"),
        ((0, 256, "\ud800", []), UnicodeEncodeError, "signature", None),
        ((0, 256, "ab", ["ok", "\udfff"]), UnicodeEncodeError, "bands", None),
        ((0, 256, "ab", Seq(["x", "y"], fail_at=1, exc=lambda: LookupError("gone"))), LookupError, "bands", "gone"),
    ],
)
def test_family_conversion_errors(native, conversion_error, args, exc_type, parameter, message):
    conversion_error(exc_type, parameter, native.LshFamily, *args, message=message)


def test_config_conversion_errors(native, conversion_error):
    conversion_error(TypeError, "bits", native.LshConfig, bits=None)
    conversion_error(OverflowError, "families", native.LshConfig, families=-1)
    conversion_error(TypeError, "bands", native.LshConfig, 1, 2, "3")
