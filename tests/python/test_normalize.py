import math
import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import reference
from reference import f32_from_bits, float_key

inf, nan = math.inf, math.nan

WORKED = [
    ([3, 4], [0.6000000238418579, 0.800000011920929]),
    ([-3, 4], [-0.6000000238418579, 0.800000011920929]),
    ([1, 1, 1, 1], [0.5, 0.5, 0.5, 0.5]),
    ([1, 1, 1], [0.5773502588272095] * 3),
    ([1, 2, 3], [0.26726123690605164, 0.5345224738121033, 0.8017836809158325]),
    ([1, 6], [0.16439898312091827, 0.9863938689231873]),
    ([4096, 1, 1, 1, 1], [1.0] + [0.000244140625] * 4),
    ([1, 1, 1, 1, 4096], [0.00024414059589616954] * 4 + [0.9999998807907104]),
    ([0.1], [1.0]),
    ([0, 0, 0], [0.0, 0.0, 0.0]),
    ([-0.0, 0.0], [-0.0, 0.0]),
    ([1e-30, 2e-30], [1.0000000031710769e-30, 2.0000000063421537e-30]),
    ([], []),
    ([-5], [-1.0]),
    ([2.0**-75], [2.6469779601696886e-23]),
    ([2.6469782757140506e-23], [0.70710688829422]),
    ([1e-20, 0], [1.0000026226043701, 0.0]),
    ([1e-22], [1.009684443473816]),
    ([1e20, 1e20], [0.0, 0.0]),
    ([-1e20, 1], [-0.0, 0.0]),
    ([nan, 1], [nan, nan]),
    ([inf, 1], [nan, 0.0]),
    ([1e39, 1], [nan, 0.0]),
    ([-inf, -2.0, 0.0], [nan, -0.0, 0.0]),
    ([0, 0], [0.0, 0.0]),
]


@pytest.mark.parametrize("vector, expected", WORKED)
def test_worked_examples(impl, vector, expected):
    result = impl.normalize_vector(vector)
    assert type(result) is list
    assert all(type(x) is float for x in result)
    assert [float_key(x) for x in result] == [float_key(x) for x in expected]


@pytest.mark.parametrize("vector", [[0.0, -0.0], [3.0, 4.0], [1e-30], []])
def test_result_is_a_new_list_and_input_untouched(native, vector):
    original = list(vector)
    result = native.normalize_vector(vector)
    assert result is not vector
    assert [float_key(x) for x in vector] == [float_key(x) for x in original]
    assert native.normalize_vector(vector) is not result


@settings(max_examples=300, deadline=None)
@given(st.floats(min_value=2.0**-62, max_value=2.0**62, width=32), st.booleans())
def test_single_element_normalises_to_unit(native, magnitude, negative):
    x = -magnitude if negative else magnitude
    assert native.normalize_vector([x]) == [math.copysign(1.0, x)]


def random_f32(rng):
    kind = rng.random()
    if kind < 0.05:
        return rng.choice([0.0, -0.0, inf, -inf, nan, 2.0**-149, -(2.0**-149), 3.4028234663852886e38])
    if kind < 0.35:
        return f32_from_bits(rng.getrandbits(32))
    return rng.gauss(0.0, 1.0) * 2.0 ** rng.randint(-80, 70)


def vector_cases(seed, count):
    rng = random.Random(seed)
    for _ in range(count):
        n = rng.choice([1, 2, 3, 5, 8, 17, 64, 300])
        scale = 2.0 ** rng.choice([0, 0, -70, -60, 60, 64, -140])
        if rng.random() < 0.5:
            yield [rng.gauss(0.0, 1.0) * scale for _ in range(n)]
        else:
            yield [random_f32(rng) for _ in range(n)]


@pytest.mark.parametrize("seed", range(8))
def test_differential_against_reference(native, seed):
    for vector in vector_cases(seed, 60):
        got = [float_key(x) for x in native.normalize_vector(vector)]
        assert got == [float_key(x) for x in reference.normalize_vector(vector)], vector


@settings(max_examples=400, deadline=None)
@given(st.lists(st.floats(width=32, allow_nan=True, allow_infinity=True), max_size=40))
def test_differential_property(native, vector):
    got = [float_key(x) for x in native.normalize_vector(vector)]
    assert got == [float_key(x) for x in reference.normalize_vector(vector)]


def test_long_vector_sum_is_sequential(native):
    rng = random.Random(1234)
    vector = [rng.uniform(-1.0, 1.0) for _ in range(20000)]
    vector[0] = 4096.0
    got = native.normalize_vector(vector)
    assert [float_key(x) for x in got] == [float_key(x) for x in reference.normalize_vector(vector)]
