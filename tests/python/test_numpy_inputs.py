"""Array-like vectors go through the sequence protocol like any other sequence."""

import array

import pytest

import reference

np = pytest.importorskip("numpy")

VALUES = [0.1, -2.5, 3.0e-30, 7.0, -0.0, 1e-7, 0.333333, 1e20, 4096.0]


def outcome(fn, value):
    try:
        result = fn(value)
    except Exception as exc:  # compared by type only
        return ("raised", type(exc))
    if isinstance(result, list) and result and not isinstance(result[0], float):
        return reference.as_tuples(result)
    if isinstance(result, list):
        return [reference.float_key(x) for x in result]
    return result


def functions(native):
    return [
        native.normalize_vector,
        native.compute_embedding_sha256,
        lambda v: native.simhash_lsh_multi(v, families=2, bits=70, bands=6),
    ]


@pytest.mark.parametrize(
    "make",
    [
        lambda: np.array(VALUES, dtype=np.float32),
        lambda: np.array(VALUES, dtype=np.float64),
        lambda: array.array("f", VALUES),
        lambda: array.array("d", VALUES),
        lambda: memoryview(array.array("d", VALUES)),
        lambda: memoryview(np.array(VALUES, dtype=np.float32)),
        lambda: tuple(np.array(VALUES, dtype=np.float64)),
    ],
)
def test_one_dimensional_inputs_match_lists(native, make):
    for fn in functions(native):
        assert outcome(fn, make()) == outcome(fn, list(VALUES))


@pytest.mark.parametrize(
    "make",
    [
        lambda: np.array(VALUES, dtype=np.float16),
        lambda: np.array(VALUES * 2, dtype=np.float64)[::2],
        lambda: np.array(VALUES * 2, dtype=np.float32)[::-3],
        lambda: np.arange(12, dtype=np.int64),
        lambda: np.array([True, False, True]),
        lambda: np.array(VALUES[:6], dtype=np.float64).reshape(3, 2),
        lambda: np.array(VALUES[:3], dtype=np.float64).reshape(3, 1),
        lambda: np.array([], dtype=np.float32),
        lambda: np.array(VALUES[:4], dtype=np.float64).reshape(2, 2).T,
    ],
)
@pytest.mark.filterwarnings("ignore::RuntimeWarning")  # 1e20 overflows float16
def test_other_arrays_match_their_iteration(native, make):
    for fn in functions(native):
        assert outcome(fn, make()) == outcome(fn, list(make()))


def test_float32_array_equals_reference(native):
    arr = np.array(VALUES, dtype=np.float32)
    expected = reference.normalize_vector([float(x) for x in arr])
    assert [reference.float_key(x) for x in native.normalize_vector(arr)] == [reference.float_key(x) for x in expected]
    assert native.compute_embedding_sha256(arr) == reference.compute_embedding_sha256(VALUES)


def test_scalar_and_zero_dimensional_arrays_refused(native, conversion_error):
    conversion_error(
        TypeError,
        "vector",
        native.normalize_vector,
        np.float64(1.0),
        message="'float64' object is not an instance of 'Sequence'",
    )
    with pytest.raises(TypeError) as info:
        native.normalize_vector(np.array(1.0))
    assert info.value.__notes__ == ["while processing 'vector'"]


# Classes that only carry the name of numpy.ndarray or array.array are read
# the way their own iteration says, not through their buffer.
ITERATED = [5.0, -6.0, 0.25]


def _named(name, base):
    """A subclass of `base` called `name` whose iteration yields ITERATED."""
    return type(name, (base,), {"__iter__": lambda self: iter(ITERATED), "__len__": lambda self: len(ITERATED)})


class BufferOfOtherValues:
    """A sequence whose buffer holds other numbers than its items."""

    def __buffer__(self, flags):
        return memoryview(array.array("d", VALUES))

    def __len__(self):
        return len(ITERATED)

    def __getitem__(self, index):
        return ITERATED[index]


@pytest.mark.parametrize(
    "make",
    [
        lambda: type("numpy.ndarray", (BufferOfOtherValues,), {})(),
        lambda: type("array.array", (BufferOfOtherValues,), {})(),
        lambda: np.array(VALUES).view(_named("numpy.ndarray", np.ndarray)),
        lambda: _named("array.array", array.array)("d", VALUES),
    ],
    ids=["named ndarray", "named array", "ndarray subclass", "array subclass"],
)
def test_types_are_recognised_by_identity_not_name(native, make):
    obj = make()
    assert type(obj).__name__ in ("numpy.ndarray", "array.array")
    assert list(obj) == ITERATED
    for fn in functions(native):
        assert outcome(fn, obj) == outcome(fn, list(ITERATED))
