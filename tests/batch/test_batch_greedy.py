"""greedy_keep against the rule read literally (small random graphs, random
fixed decisions) and against a round-by-round numpy form of it (a large random
graph), in any order and orientation of the edges; bad arguments name the
function, the parameter and the index."""

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import ambrel_batch as ab

UNDECIDED, KEPT, REMOVED = 0, 1, 2


def same_bits(x, y):
    x, y = np.asarray(x), np.asarray(y)
    return x.dtype == y.dtype and x.shape == y.shape and x.tobytes() == y.tobytes()


def same_result(got, expected):
    return all(same_bits(g, e) for g, e in zip(got, expected, strict=True))


def rule(n, a, b, cosine, fixed=None):
    """Node by node in rank order: removed when a kept neighbour ranks better."""
    keep, duplicate_of, chosen = [False] * n, [-1] * n, [np.nan] * n
    for v in range(n):
        if fixed is not None and fixed[v] != -1:
            keep[v] = fixed[v] == 1
            continue
        kept = [(c, -min(x, y)) for x, y, c in zip(a, b, cosine, strict=True) if max(x, y) == v and keep[min(x, y)]]
        keep[v] = not kept
        if kept:
            chosen[v], u = max(kept)
            duplicate_of[v] = -u
    return ab.GreedyKeep(np.array(keep), np.array(duplicate_of, dtype=np.int64), np.array(chosen))


def rounds(n, a, b, cosine, fixed):
    """The rule in rounds over every edge at once: a node with a kept neighbour
    of better rank is removed, then a node whose neighbours of better rank are
    all removed is kept. The first undecided node is decided in every round."""
    lo, hi = np.minimum(a, b), np.maximum(a, b)
    state = np.select([fixed == 1, fixed == 0], [KEPT, REMOVED], UNDECIDED).astype(np.int8)
    live = fixed[hi] == -1
    lo, hi, cosine = lo[live], hi[live], cosine[live]
    while (state == UNDECIDED).any():
        open_ = state[hi] == UNDECIDED
        lo, hi, cosine = lo[open_], hi[open_], cosine[open_]
        hit = np.zeros(n, dtype=bool)
        hit[hi[state[lo] == KEPT]] = True
        state[(state == UNDECIDED) & hit] = REMOVED
        waiting = np.zeros(n, dtype=bool)
        waiting[hi[state[lo] != REMOVED]] = True
        state[(state == UNDECIDED) & ~waiting] = KEPT
    return state == KEPT


def duplicates(keep, a, b, cosine, fixed):
    """Each removed free node's kept neighbour of better rank with the highest
    cosine, then the best rank."""
    lo, hi = np.minimum(a, b), np.maximum(a, b)
    chosen = (fixed[hi] == -1) & ~keep[hi] & keep[lo]
    lo, hi, cosine = lo[chosen], hi[chosen], cosine[chosen]
    order = np.lexsort((lo, -cosine, hi))
    lo, hi, cosine = lo[order], hi[order], cosine[order]
    first = np.r_[True, hi[1:] != hi[:-1]]
    duplicate_of = np.full(len(keep), -1, dtype=np.int64)
    pair_cosine = np.full(len(keep), np.nan)
    duplicate_of[hi[first]] = lo[first]
    pair_cosine[hi[first]] = cosine[first]
    return ab.GreedyKeep(keep, duplicate_of, pair_cosine)


@st.composite
def graphs(draw):
    n = draw(st.integers(1, 24))
    node = st.integers(0, n - 1)
    pairs = draw(st.lists(st.tuples(node, node).filter(lambda p: p[0] != p[1]), max_size=60)) if n > 1 else []
    cosine = draw(st.lists(st.sampled_from([0.5, 0.75, 0.9, 1.0]), min_size=len(pairs), max_size=len(pairs)))
    fixed = draw(st.none() | st.lists(st.sampled_from([-1, -1, 0, 1]), min_size=n, max_size=n))
    return n, [p[0] for p in pairs], [p[1] for p in pairs], cosine, fixed


@settings(max_examples=300, deadline=None)
@given(graphs(), st.randoms(use_true_random=False))
def test_the_rule_in_any_edge_order(graph, random):
    n, a, b, cosine, fixed = graph
    expected = rule(n, a, b, cosine, fixed)
    assert same_result(ab.greedy_keep(n, a, b, cosine, fixed=fixed), expected)
    edges = [(y, x, c) if random.random() < 0.5 else (x, y, c) for x, y, c in zip(a, b, cosine, strict=True)]
    random.shuffle(edges)
    if edges:
        x, y, c = zip(*edges, strict=True)
        a, b, cosine = np.array(x, dtype=np.int32), np.array(y, dtype=np.uint16), np.array(c)
    decisions = None if fixed is None else np.array(fixed, dtype=np.int8)
    assert same_result(ab.greedy_keep(n, a, b, cosine, fixed=decisions), expected)


def test_a_large_random_graph():
    rng = np.random.default_rng(20250611)
    n, m = 200_000, 2_000_000
    a = rng.integers(0, n, m)
    b = rng.integers(0, n - 1, m)
    b += b >= a
    cosine = np.round(rng.uniform(0.8, 1.0, m), 2)  # ties
    # Some pairs again, the other way round, at another cosine.
    again = rng.integers(0, m, m // 20)
    a, b = np.concatenate([a, b[again]]), np.concatenate([b, a[again]])
    cosine = np.concatenate([cosine, np.round(rng.uniform(0.8, 1.0, again.size), 2)])
    fixed = rng.choice(np.array([-1, 0, 1], dtype=np.int8), n, p=[0.8, 0.1, 0.1])
    for decisions in (np.full(n, -1, dtype=np.int8), fixed):
        expected = duplicates(rounds(n, a, b, cosine, decisions), a, b, cosine, decisions)
        assert same_result(ab.greedy_keep(n, a, b, cosine, fixed=decisions), expected)
    assert same_result(ab.greedy_keep(n, a, b, cosine), ab.greedy_keep(n, a, b, cosine, fixed=np.full(n, -1)))
    order = rng.permutation(a.size)
    assert same_result(ab.greedy_keep(n, b[order], a[order], cosine[order], fixed=fixed), expected)


@pytest.mark.parametrize(
    ("call", "error", "words"),
    [
        (lambda: ab.greedy_keep(3, [0, 3], [1, 2], [0.5, 0.5]), IndexError, "greedy_keep(): a[1] = 3 is out of range"),
        (lambda: ab.greedy_keep(3, [0], [-1], [0.5]), IndexError, "greedy_keep(): b[0] = -1 is out of range"),
        (lambda: ab.greedy_keep(3, [0, 2], [1, 2], [0.5, 0.5]), ValueError, "greedy_keep(): edge 1 joins node 2"),
        (lambda: ab.greedy_keep(3, [0, 1], [1, 2], [0.5, np.nan]), ValueError, "greedy_keep(): cosine[1] = nan"),
        (lambda: ab.greedy_keep(3, [0], [1], [-np.inf]), ValueError, "greedy_keep(): cosine[0] = -inf"),
        (lambda: ab.greedy_keep(3, [0, 1], [1], [0.5]), ValueError, "greedy_keep(): a, b and cosine"),
        (lambda: ab.greedy_keep(3, [0], [1], [0.5, 0.5]), ValueError, "greedy_keep(): a, b and cosine"),
        (lambda: ab.greedy_keep(3, [0.0], [1], [0.5]), TypeError, "greedy_keep(): a must hold integers"),
        (lambda: ab.greedy_keep(3, [0], [[1]], [0.5]), ValueError, "greedy_keep(): b must be one-dimensional"),
        (lambda: ab.greedy_keep(3, [0], [1], ["x"]), TypeError, "greedy_keep(): cosine must hold real numbers"),
        (lambda: ab.greedy_keep(3, [0], [1], [[0.5]]), ValueError, "greedy_keep(): cosine must be one-dimensional"),
        (lambda: ab.greedy_keep(-1, [], [], []), ValueError, "greedy_keep(): n must be in"),
        (lambda: ab.greedy_keep(2**32, [], [], []), ValueError, "greedy_keep(): n must be in"),
        (lambda: ab.greedy_keep(3.0, [], [], []), TypeError, "greedy_keep(): n must be an integer"),
        (lambda: ab.greedy_keep(3, [], [], [], fixed=[1, 0]), ValueError, "greedy_keep(): fixed must hold one"),
        (lambda: ab.greedy_keep(3, [], [], [], fixed=[1, 0, 2]), ValueError, "greedy_keep(): fixed[2] must be"),
        (lambda: ab.greedy_keep(3, [], [], [], fixed=[1, 257, 0]), ValueError, "greedy_keep(): fixed[1] must be"),
        (lambda: ab.greedy_keep(3, [], [], [], fixed=[0.0] * 3), TypeError, "greedy_keep(): fixed must hold integers"),
        (lambda: ab.greedy_keep(3, [], [], [], fixed=[[1, 0, 0]]), ValueError, "greedy_keep(): fixed must be one-"),
    ],
)
def test_bad_arguments_are_named(call, error, words):
    with pytest.raises(error) as info:
        call()
    assert words in str(info.value)
