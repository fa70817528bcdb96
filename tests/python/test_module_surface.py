import importlib
import inspect
import pickle
import sys
import weakref

import pytest

ALL = [
    "LshFamily",
    "LshConfig",
    "simhash_lsh_multi",
    "normalize_vector",
    "hamming_distance_hex",
    "cosine_from_hamming",
    "compute_embedding_sha256",
]

MODULE_DOC = (
    "Native Python extension module for ambrel\n\nThis module is imported as "
    "`ambrel_native` and provides accelerated\nimplementations of the core LSH functions."
)

FUNCTIONS = {
    "simhash_lsh_multi": (
        "(normalized_vector, families=3, bits=256, bands=16)",
        "Generate SimHash LSH signatures for a normalized embedding vector\n\nArgs:\n"
        "    normalized_vector: L2-normalized embedding vector (list of floats)\n"
        "    families: Number of independent hash families (default: 3)\n"
        "    bits: Number of bits per signature (default: 256)\n"
        "    bands: Number of bands to split signature into (default: 16)\n\n"
        "Returns:\n    List of LshFamily objects, one per family",
    ),
    "normalize_vector": (
        "(vector)",
        "L2-normalize a vector\n\nArgs:\n    vector: Input vector (list of floats)\n\n"
        "Returns:\n    L2-normalized vector. If the input has zero magnitude, returns the original.",
    ),
    "hamming_distance_hex": (
        "(a, b)",
        "Compute Hamming distance between two hex-encoded signatures\n\nArgs:\n"
        "    a: First hex signature string\n    b: Second hex signature string\n\n"
        "Returns:\n    Number of differing bits",
    ),
    "cosine_from_hamming": (
        "(distance_bits, total_bits)",
        "Estimate cosine similarity from Hamming distance\n\n"
        "Uses the formula: cos(\u03c0 \u00d7 distance / total_bits)\n\nArgs:\n"
        "    distance_bits: Hamming distance in bits\n"
        "    total_bits: Total number of bits in the signatures\n\n"
        "Returns:\n    Estimated cosine similarity in [-1, 1]",
    ),
    "compute_embedding_sha256": (
        "(normalized_embedding)",
        "Compute canonical SHA-256 hash of a normalized embedding\n\n"
        "The embedding is quantized to 6 decimal places and serialized as JSON\n"
        "with specific formatting (spaces after commas, .0 for whole numbers)\n"
        "to ensure deterministic hashing across implementations.\n\nArgs:\n"
        "    normalized_embedding: L2-normalized embedding vector\n\n"
        "Returns:\n    Hex-encoded SHA-256 hash",
    ),
}

CLASSES = {
    "LshConfig": (
        "(families=3, bits=256, bands=16)",
        "LSH configuration\n\nThis mirrors the Python LshConfig dataclass from ambrel.types",
        ["families", "bits", "bands"],
    ),
    "LshFamily": (
        "(family, bits, signature, bands)",
        "LSH family result containing signature and bands\n\n"
        "This mirrors the Python LSHFamily dataclass from ambrel.lsh",
        ["family", "bits", "signature", "bands"],
    ),
}

HEAPTYPE, BASETYPE, HAVE_GC, IMMUTABLE = 1 << 9, 1 << 10, 1 << 14, 1 << 8


def sample(native, name):
    return native.LshConfig() if name == "LshConfig" else native.LshFamily(0, 64, "ab", ["a"])


def test_module_all_doc_and_members(native):
    assert native.__name__ == "ambrel_native"
    assert native.__all__ == ALL
    assert type(native.__all__) is list
    assert native.__doc__ == MODULE_DOC
    assert {n for n in dir(native) if not n.startswith("_")} == set(ALL)


@pytest.mark.parametrize("name", sorted(FUNCTIONS))
def test_function_surface(native, name):
    fn = getattr(native, name)
    text_signature, doc = FUNCTIONS[name]
    assert fn.__name__ == name
    assert fn.__text_signature__ == text_signature
    assert fn.__doc__ == doc
    assert str(inspect.signature(fn)) == text_signature
    assert fn.__self__ is native
    assert fn.__module__ == native.__name__
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in inspect.signature(fn).parameters.values())


@pytest.mark.parametrize("name", sorted(CLASSES))
def test_class_surface(native, name):
    cls = getattr(native, name)
    text_signature, doc, attributes = CLASSES[name]
    assert (cls.__name__, cls.__qualname__, cls.__module__) == (name, name, "builtins")
    assert cls.__text_signature__ == text_signature
    assert cls.__doc__ == doc
    assert cls.__mro__ == (cls, object)
    assert [k for k in vars(cls) if not k.startswith("_")] == attributes
    for attr in attributes:
        assert inspect.isgetsetdescriptor(vars(cls)[attr])
        assert vars(cls)[attr].__doc__ is None
    assert "__repr__" in vars(cls) and "__new__" in vars(cls)
    for absent in ("__init__", "__eq__", "__hash__", "__str__", "__reduce__", "__lt__"):
        assert absent not in vars(cls)
    assert cls.__flags__ & HEAPTYPE
    assert not cls.__flags__ & (BASETYPE | HAVE_GC | IMMUTABLE)
    assert cls.__weakrefoffset__ == 0 and cls.__dictoffset__ == 0


@pytest.mark.parametrize("name", sorted(CLASSES))
def test_class_not_subclassable_but_attributes_settable(native, name):
    cls = getattr(native, name)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    cls.extra_marker = 1
    try:
        assert sample(native, name).extra_marker == 1
    finally:
        del cls.extra_marker


@pytest.mark.parametrize("name", sorted(CLASSES))
def test_instance_has_no_dict_weakref_or_pickling(native, name):
    obj = sample(native, name)
    assert not hasattr(obj, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(obj)
    with pytest.raises(AttributeError):
        obj.x = 1
    with pytest.raises(TypeError):
        pickle.dumps(obj)


@pytest.mark.parametrize("name", sorted(CLASSES))
def test_identity_equality_and_hash(native, name):
    a, b = sample(native, name), sample(native, name)
    assert repr(a) == repr(b)
    assert a == a and a != b and not (a == b)
    assert hash(a) == object.__hash__(a)
    assert len({a, b}) == 2
    assert str(a) == repr(a)
    with pytest.raises(TypeError):
        a < b  # noqa: B015


def test_reimport_gives_new_module_with_same_types(native):
    saved = sys.modules.pop("ambrel_native")
    try:
        fresh = importlib.import_module("ambrel_native")
        assert fresh is not native
        assert fresh.LshConfig is native.LshConfig
        assert fresh.LshFamily is native.LshFamily
        assert fresh.__all__ == ALL and fresh.__all__ is not native.__all__
        assert fresh.normalize_vector is not native.normalize_vector
        assert fresh.normalize_vector.__self__ is fresh
        result = fresh.simhash_lsh_multi([1.0], families=1)
        assert type(result[0]) is native.LshFamily
    finally:
        sys.modules["ambrel_native"] = saved
