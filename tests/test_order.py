"""Signs, order relations, extremes, clamping, sorting and selection, decided on exact values."""
import math
import operator
from fractions import Fraction as F

import pytest
import torch
from hypothesis import HealthCheck, given, settings, strategies as st

from conftest import f32, MT, PRIMES, residues, value, values

INF, NAN = float("inf"), float("nan")
TINY = F(1, 2**60)
THIRD32 = F(float(torch.tensor(1 / 3, dtype=torch.float32)))  # 1/3 as float32 holds it


def build(items, dev, shape=None, hint=False):
    """A record of Fractions or raw (n, d) pairs (zero denominators included), bound unknown."""
    pairs = [(x.numerator, x.denominator) if isinstance(x, F) else x for x in items]
    n = torch.tensor([[a % p for a, _ in pairs] for p in PRIMES])
    d = torch.tensor([[b % p for _, b in pairs] for p in PRIMES])
    shape = (len(pairs),) if shape is None else shape
    approx = torch.tensor([float(F(a, b)) if b else math.nan for a, b in pairs], dtype=torch.float32) if hint else None
    return MT(n.view(20, *shape).to(dev), d.view(20, *shape).to(dev), None,
              None if approx is None else approx.view(shape).to(dev))


@pytest.fixture
def rec(dev):
    """build() on the test's device."""
    return lambda items, shape=None, hint=False: build(items, dev, shape, hint)


def oracle(x):
    """What an element stands for in comparisons: its Fraction, or the float to_float shows."""
    if isinstance(x, F):
        return x
    n, d = x
    return F(n, d) if d else (INF if n > 0 else -INF if n < 0 else NAN)


def stable_order(items, descending=False):
    keyed = [oracle(x) for x in items]
    nan = [k for k, v in enumerate(keyed) if v != v]
    rest = sorted((k for k in range(len(keyed)) if keyed[k] == keyed[k]),
                  key=lambda k: -keyed[k] if descending else keyed[k])
    return nan + rest if descending else rest + nan


# Pairs float32 (and sometimes float64) cannot tell apart, equal values held differently, and
# the zero-denominator values.
PAIRS = [
    (F(1), 1 + TINY), (F(1, 3), THIRD32), (-1 - TINY, F(-1)), (TINY, F(0)), (F(2**600 + 1, 2**600), F(1)),
    (F(1, 2), (2, 4)), ((1, -3), F(-1, 3)), ((1, 0), F(2**600)), ((-7, 0), F(-(2**600))), ((1, 0), (5, 0)),
    ((0, 0), F(0)), ((0, 0), (0, 0)),
]


@pytest.mark.parametrize("a,b", PAIRS)
def test_relations_are_exact(rec, a, b):
    x, y = rec([a, b]), rec([b, a])
    u, v = oracle(a), oracle(b)
    for name in ("lt", "le", "gt", "ge"):
        got, op = getattr(x, name)(y), getattr(operator, name)
        assert got.dtype == torch.bool and got.tolist() == [op(u, v), op(v, u)], name


def test_relation_shapes_and_refusals(rec, dev):
    s, t = MT.from_int(1, (), dev), MT.from_fraction(2**60 + 1, 2**60, (), dev)
    assert s.lt(t).shape == (1,) and s.lt(t).item() and s.le(t).item()
    x, y = rec([F(1), F(2), F(3), F(4), F(5), F(6)], (2, 3)), rec([F(2), F(2), F(2)])
    assert x.lt(y).tolist() == [[True, False, False], [False, False, False]]
    assert x.T.lt(rec([F(2), F(5)])).tolist() == [[True, True], [False, False], [False, False]]  # not contiguous
    with pytest.raises(RuntimeError):
        x.lt(rec([F(1), F(2)]))
    with pytest.raises(AttributeError):
        x.lt(0)
    with pytest.raises(TypeError):
        x < y  # noqa: B015


def test_broadcast_relations_settle_ties_exactly(rec, dev):
    # Every pair ties on its double (or is equal); big terms push equality past the congruence
    # range, so == also decides by keys and exact ties; broadcasting gathers the tied pairs.
    col = [1 + TINY, F(2**600 + 1, 2**600), (0, 0)]
    row = [F(1), 1 + TINY, F(2**599 + 1, 2**599), (2**300, 2**300)]
    x, y = rec(col, (3, 1)), rec(row)
    for name in ("lt", "le", "gt", "ge", "eq"):
        op = getattr(operator, name)
        got = (x == y) if name == "eq" else getattr(x, name)(y)
        want = [[op(oracle(a), oracle(b)) for b in row] for a in col]
        assert got.shape == (3, 4) and got.tolist() == want, name


# (element, exact sign)
SIGNS = [(F(-3, 4), -1), (F(3, 4), 1), ((0, 5), 0), ((3, -4), -1), ((-3, -4), 1), ((2, 0), 1), ((-2, 0), -1),
         ((0, 0), 0), (F(2**600 + 1, 2**600) - 1, 1)]


@pytest.mark.parametrize("item,sgn", SIGNS)
@pytest.mark.parametrize("shape", [(1,), ()])
def test_sign_abs_relu_follow_the_exact_value(rec, item, sgn, shape):
    x = rec([item], shape)
    assert x.sign().shape == (1,) and x.sign().dtype == torch.float32 and x.sign().item() == sgn
    a, r = x.abs(), x.relu()
    assert a.shape == r.shape == shape
    # Only the numerator moves: the denominator's residues stay as stored.
    p = x.primes.view(20, *[1] * len(shape))
    assert torch.equal(a.denom, x.denom) and torch.equal(a.num, x.num if sgn >= 0 else (-x.num) % p)
    if sgn > 0:
        assert torch.equal(r.num, x.num) and torch.equal(r.denom, x.denom)
    else:
        assert r.num.eq(0).all() and r.denom.eq(1).all()


def test_stale_hint_does_not_decide(dev):
    # The hint of (2^60 + 1)/2^60 - 1 is 0.0; the value is 2^-60.
    x = MT.from_fraction(2**60 + 1, 2**60, (1,), dev) - 1
    assert x._approx.item() == 0.0
    assert x.sign().tolist() == [1.0] and value(x.relu()) == TINY
    s = MT.from_fraction(-3, 4, (), dev)
    sign = s.sign()
    assert sign.shape == () and sign.item() == -1 and sign.data_ptr() != s._approx.data_ptr()
    assert value(s.abs()) == F(3, 4) and s.abs()._approx.item() == 0.75 and s.relu()._approx.item() == 0


@pytest.mark.parametrize("items,shape,imax,imin", [
    ([F(1, 3), F(2, 3), F(1, 2)], None, 1, 0),
    ([F(1), 1 + TINY, 1 + TINY, 1 - TINY], None, 1, 3),  # float32 sees four equal values
    ([(2, 4), F(1, 2), (3, 6)], None, 0, 0),               # exact ties: first index
    ([(2, 6), F(1, 3) - TINY, F(1, 3), (3, 9)], None, 0, 1),  # one double, inexact: equal thirds
    ([F(0), F(1), F(2), F(5), F(3), F(4)], (2, 3), 3, 0),
    ([F(1), (0, 0), F(5), (0, 0)], None, 1, 1),            # nan wins both, as in torch.argmax
    ([(1, 0), F(2**600), (-1, 0), (5, 0)], None, 0, 2),
])
def test_extremes_pick_exact_first_index(rec, items, shape, imax, imin):
    x = rec(items, shape)
    assert x.argmax() == imax and x.argmin() == imin and type(x.argmax()) is int
    for rec_, i in ((x.max(), imax), (x.min(), imin)):
        flat_n, flat_d = x.num.reshape(20, -1), x.denom.reshape(20, -1)
        assert rec_.shape == (1,) and rec_._approx is None
        assert torch.equal(rec_.num[:, 0], flat_n[:, i]) and torch.equal(rec_.denom[:, 0], flat_d[:, i])


def test_extremes_of_transposed_hinted_and_empty_records(rec, dev):
    x = rec([F(k - 2, 3) for k in range(6)], (2, 3), hint=True).T  # not contiguous
    assert x.argmax() == 5 and value(x.max()) == F(1) and x.max()._approx.tolist() == [1.0]
    assert x.argmin() == 0 and value(x.min()) == F(-2, 3)
    with pytest.raises(IndexError):
        MT.zeros((0,), dev).max()


@pytest.mark.parametrize("items,lo,hi,expected,replaced_den", [
    ([F(-1, 2), F(1, 4)], 0, None, [F(0), F(1, 4)], 10000),
    ([F(3, 4)], None, 0.5, [F(1, 2)], 10000),
    ([F(0), F(5)], 2, 1, [F(1), F(1)], 10000),                      # min > max: all at max
    ([F(0.3), F(1, 3), F(0.34)], 1 / 3, None,                        # 1/3 exceeds 0.3333333333333333
     [F("0.3333333333333333"), F(1, 3), F(0.34)], 10**16),
    ([F(1, 2), F(0.6)], None, 0.57, [F(1, 2), F(57, 100)], 10000),   # 0.57 * 10000 is 5699.99...
    ([F(1, 2) - TINY, F(1, 2)], 0.5, None, [F(1, 2), F(1, 2)], 10000),
])
def test_clamp_replaces_by_the_bound_exactly(rec, items, lo, hi, expected, replaced_den):
    x = rec(items, hint=True)
    y = x.clamp(lo, hi)
    assert values(y) == expected
    kept = [k for k, v in enumerate(items) if F(v) == expected[k]]
    for k in range(len(items)):
        src = x if k in kept else None
        if src is not None:
            assert torch.equal(y.num[:, k], x.num[:, k]) and torch.equal(y.denom[:, k], x.denom[:, k])
        else:
            assert y.denom[:, k].tolist() == residues(replaced_den)
    assert torch.equal(y._approx, torch.clamp(x._approx, lo, hi))


def test_clamp_identity_scalars_and_refusals(rec, dev):
    x = rec([(2, 4), F(1, 4)])
    assert x.clamp() is x and x.clamp(0, 0.5) is x  # 2/4 equals the bound: kept
    s = MT.from_fraction(-3, 4, (), dev)
    assert value(s.clamp(min_val=True)) == 1 and s.clamp(-1) is s
    assert value(MT(s.num, s.denom).clamp(max_val=-0.8)) == F(-4, 5)
    with pytest.raises(TypeError, match=r"^Argument 'min_val' has incorrect type \(expected float, got ModularTensor\)$"):
        x.clamp(x)
    with pytest.raises(ValueError):
        x.clamp(NAN)
    with pytest.raises(OverflowError):
        x.clamp(None, INF)


SORT_CASES = [
    [F(1, 3), F(1, 7), F(1, 2)],
    [1 + TINY, F(1), (2, 2), 1 - TINY, THIRD32, F(1, 3), (3, 9)],  # float32 ties, exact ties
    [(0, 0), F(1), (1, 0), (-1, 0), F(0), (5, 0), F(-2**60), (0, -3), (0, 0)],
]


@pytest.mark.parametrize("items", SORT_CASES)
@pytest.mark.parametrize("descending", [False, True])
def test_sort_is_exact_and_stable(rec, items, descending):
    x = rec(items)
    order = stable_order(items, descending)
    s, i = x.sort(descending=descending)
    assert i.tolist() == order and x.argsort(descending=descending).tolist() == order
    assert torch.equal(s.num, x.num[:, i]) and torch.equal(s.denom, x.denom[:, i])
    expected_approx = torch.tensor([float(oracle(items[k])) for k in order], dtype=torch.float32)
    assert torch.allclose(s._approx, expected_approx, equal_nan=True)
    for k in (0, 2, len(items)):
        v, j = x.topk(k, largest=descending)
        assert j.tolist() == order[:k] and v.shape == (k,) and torch.equal(v.num, x.num[:, j])


def around_midpoints(bits, k):
    """Values n / 2^k of `bits`-bit n: doubles, the midpoints between neighbouring doubles, and
    the values one unit of n away (odd and even significands, both signs). A value just above a
    double comes before it and shares its key alone, so that a key wrongly taken as exact
    leaves it there."""
    out = []
    for m in ((1 << 52) + 12345, (1 << 52) + 12346):
        near = [(m << (bits - 53)) + delta for delta in (1, 0)]
        mid = [((2 * m + 1) << (bits - 54)) + delta for delta in (1, 0, -1)] if bits > 53 else []
        for n in near + mid:
            out += [F(n, 2**k), -F(n, 2**k)]
    return out


# Within four residues: the keys' two-word path, its rounding and sticky bits.
@pytest.mark.parametrize("k", [0, 60, 121])
@pytest.mark.parametrize("bits", [53, 60, 64, 65, 93, 121])
def test_sort_rounds_keys_at_double_midpoints(rec, bits, k):
    items = around_midpoints(bits, k)
    x = rec(items)
    s, i = x.sort()
    assert i.tolist() == stable_order(items)
    assert s._approx.tolist() == [f32(items[k]) for k in i.tolist()]


VALUES = st.one_of(
    st.tuples(st.fractions(-10**6, 10**6, max_denominator=2**70), st.integers(-150, 150))
    .map(lambda t: t[0] * F(2) ** t[1]),
    st.sampled_from([F(1), 1 + TINY, 1 - TINY, F(1, 3), THIRD32, F(-1, 3), F(0)]))


# The device fixture holds for every example: it sets the kernel mode, and nothing resets it.
@given(st.lists(VALUES, min_size=1, max_size=30))
@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
def test_sort_and_extremes_match_fractions(rec, items):
    x = rec(items)
    assert x.argsort().tolist() == sorted(range(len(items)), key=lambda k: items[k])
    assert x.argmax() == items.index(max(items)) and x.argmin() == items.index(min(items))


def test_sort_along_axes(rec, dev):
    vals = [F(3), F(1), F(2), F(0), F(5), F(-1)]
    x = rec(vals, (2, 3))
    s, i = x.sort(dim=0)
    assert i.tolist() == [[1, 0, 1], [0, 1, 0]] and s.shape == (2, 3)
    t, j = x.T.sort(-1)  # not contiguous
    assert j.tolist() == [[1, 0], [0, 1], [1, 0]] and values(t) == [F(0), F(3), F(1), F(5), F(-1), F(2)]
    v, k = x.topk(1, dim=1.9)  # dims go through int()
    assert k.tolist() == [[0], [1]] and values(v) == [F(3), F(5)]
    sc, si = MT.from_fraction(2, 3, (), dev).sort()
    assert sc.shape == (1,) and si.tolist() == [0] and values(sc) == [F(2, 3)]
    e, ei = MT.zeros((0, 3), dev).sort(0)
    assert e.shape == (0, 3) and ei.shape == (0, 3)


@pytest.mark.parametrize("descending", [False, True])
@pytest.mark.parametrize("dim", [0, 1])
def test_sort_settles_runs_of_inexact_ties_along_any_axis(rec, descending, dim):
    # Every column (and row) holds values of one double, some not that double: the runs must be
    # put right exactly within each line, and exactly equal values keep their order.
    base = [1 + TINY, F(1), 1 - TINY, (2, 2), 1 + 2 * TINY, 1 - TINY, F(1, 3), (1, 3), THIRD32]
    x = rec(base, (3, 3))
    s, i = x.sort(dim=dim, descending=descending)
    grid = [[oracle(base[3 * r + c]) for c in range(3)] for r in range(3)]
    lines = [list(col) for col in zip(*grid)] if dim == 0 else grid
    want = [sorted(range(3), key=lambda k: (-line[k] if descending else line[k], k)) for line in lines]
    got = i.T.tolist() if dim == 0 else i.tolist()
    assert got == want
    vals = values(s)
    got_vals = [[vals[3 * r + c] for c in range(3)] for r in range(3)]
    got_lines = [list(col) for col in zip(*got_vals)] if dim == 0 else got_vals
    assert got_lines == [[line[k] for k in order] for line, order in zip(lines, want)]


@pytest.mark.parametrize("call,exc", [
    (lambda x: x.sort(2), IndexError), (lambda x: x.sort(-3), IndexError), (lambda x: x.argsort(5), IndexError),
    (lambda x: x.topk(1, 2), IndexError), (lambda x: x.topk(4), RuntimeError), (lambda x: x.topk(-1), RuntimeError),
    (lambda x: x.sort("0"), TypeError), (lambda x: x.topk(None), TypeError),
])
def test_sort_refusals(rec, call, exc):
    with pytest.raises(exc):
        call(rec([F(1)] * 6, (2, 3)))


def test_where_selects_whole_fractions(rec, dev):
    a = rec([F(k, 7) for k in range(6)], (2, 3), hint=True)
    b = rec([F(-k, 5) for k in range(6)], (2, 3), hint=True)
    assert torch.equal(a.where(torch.ones(2, 3, dtype=torch.bool, device=dev), b).num, a.num)
    assert torch.equal(a.where(torch.zeros(2, 3, dtype=torch.bool, device=dev), b).denom, b.denom)
    keep = torch.tensor([True, False, True], device=dev)
    w = a.where(keep, b)
    assert values(w) == [F(0), F(-1, 5), F(2, 7), F(3, 7), F(-4, 5), F(5, 7)]
    assert torch.equal(w._approx, torch.where(keep, a._approx, b._approx))
    assert a.where(torch.ones(2, 3, dtype=torch.bool, device=dev), rec([F(1)] * 6, (2, 3)))._approx is None
    # A scalar other meets the elements, not the primes.
    cond = torch.tensor([False, True, True], device=dev)
    assert values(a.where(cond, MT.from_fraction(9, 2, (), dev)))[::3] == [F(9, 2)] * 2
    with pytest.raises(RuntimeError):
        a.where(torch.ones(4, 3, dtype=torch.bool, device=dev), b)


@pytest.mark.parametrize("make,all_,any_", [
    (lambda dev: MT.zeros((3,), dev), False, False),
    (lambda dev: MT.from_int(5, (3,), dev), True, True),
    (lambda dev: MT.from_int(2147483629, (), dev), True, True),      # a multiple of PRIMES[0]
    (lambda dev: build([(3, 0), (-1, 0)], dev), True, True),
    (lambda dev: build([F(1), (0, 0)], dev), False, True),
    (lambda dev: MT.zeros((0,), dev), True, False),
])
def test_truth_tests(dev, make, all_, any_):
    x = make(dev)
    assert x.all() is all_ and x.any() is any_
