"""Determinant, inverse, solve and trace of small matrices, against Fraction elimination."""
import random
from fractions import Fraction as F

import pytest
import torch

from conftest import MT, PRIMES, generic_kernels, kernel_ran, residues, value, values
from test_fuzz import det_value


def build(M, dev):
    fs = [x for row in M for x in row]
    n = torch.tensor([[f.numerator % p for f in fs] for p in PRIMES]).view(20, len(M), len(M[0]))
    d = torch.tensor([[f.denominator % p for f in fs] for p in PRIMES]).view(20, len(M), len(M[0]))
    return MT(n.to(dev), d.to(dev))


@pytest.fixture
def rec(dev):
    """A matrix record of Fractions on the test's device, bound unknown."""
    return lambda M: build(M, dev)


def matrices(n, seed):
    rng = random.Random(seed)
    ints = [[F(rng.randint(-9, 9)) for _ in range(n)] for _ in range(n)]
    fracs = [[F(rng.randint(-20, 20), rng.randint(1, 12)) for _ in range(n)] for _ in range(n)]
    floats = [[F(v) for v in row] for row in torch.randn(n, n, dtype=torch.float64,
                                                        generator=torch.Generator().manual_seed(seed)).tolist()]
    return [ints, fracs, floats]


@pytest.mark.parametrize("n", [2, 3, 4, 5])
def test_det_is_exact(rec, n):
    for M in matrices(n, n):
        d = rec(M).det()
        expected = det_value(M)
        assert d.shape == (1,) and value(d) == expected
        assert d.num.view(-1).tolist() == residues(expected.numerator)  # lowest terms


def test_det_documented_cases(rec, dev):
    assert value(rec([[F(1), F(2)], [F(3), F(4)]]).det()) == -2
    assert value(rec([[F(1, 2), F(1, 3)], [F(1, 4), F(1, 5)]]).det()) == F(1, 60)
    one = MT(torch.tensor([[2 % p] for p in PRIMES]).view(20, 1, 1).to(dev),
             torch.tensor([[4 % p] for p in PRIMES]).view(20, 1, 1).to(dev))
    d1 = one.det()
    assert d1.shape == (1,) and d1.num.view(-1).tolist() == residues(2) and d1._approx is None
    assert value(rec([[F(1), F(2), F(3)], [F(1), F(2), F(3)], [F(0), F(1), F(5)]]).det()) == 0
    assert value(MT.from_int(1, (0, 0), dev).det()) == 1
    tri = [[F(i + 1) if i == j else (F(7) if j > i else F(0)) for j in range(4)] for i in range(4)]
    assert value(rec(tri).det()) == 24


@pytest.mark.parametrize("shape, error, text", [
    ((2, 2, 2), ValueError, "det requires square matrix"),
    ((2, 3), ValueError, "det requires square matrix"),
    ((6, 6), NotImplementedError, "det only supports matrices up to 5x5"),
])
def test_det_errors(dev, shape, error, text):
    with pytest.raises(error, match=text):
        MT.from_int(1, shape, dev).det()


def test_det_with_a_zero_denominator(rec, dev):
    z = rec([[F(1), F(2)], [F(3), F(4)]]) / MT.from_tensor(torch.tensor([[1.0, 0.0], [1.0, 1.0]]), dev)
    assert z.det().to_float().tolist() == [float("-inf")]


def test_inverse(rec, dev):
    assert values(rec([[F(2)]]).inv()) == [F(1, 2)] and rec([[F(2)]]).inv().shape == (1, 1)
    A = rec([[F(1), F(2)], [F(3), F(4)]])
    inv = A.inv()
    assert values(inv) == [F(-2), F(1), F(3, 2), F(-1, 2)]
    assert values(A.matmul(inv)) == [1, 0, 0, 1]
    assert values(rec([[F(1, 2), F(0)], [F(0), F(1, 3)]]).inv()) == [2, 0, 0, 3]
    sing = rec([[F(1), F(2)], [F(2), F(4)]]).inv()
    assert sing.denom.abs().sum().item() == 0
    with pytest.raises(NotImplementedError, match="inv only supports matrices up to 2x2 currently"):
        MT.from_int(1, (3, 3), dev).inv()
    with pytest.raises(NotImplementedError, match="det only supports matrices up to 5x5"):
        MT.from_int(1, (6, 6), dev).inv()
    with pytest.raises(ValueError, match="inv requires square matrix"):
        MT.from_int(1, (2, 3), dev).inv()


@pytest.mark.parametrize("n", [1, 2, 3, 4])
def test_solve_is_exact(rec, n):
    for M in matrices(n, 10 + n):
        if det_value(M) == 0:
            continue
        rng = random.Random(n)
        bv = [F(rng.randint(-9, 9), rng.randint(1, 4)) for _ in range(n)]
        b = rec([bv]).reshape(n)
        x = rec(M).solve(b)
        assert x.shape == (n,)
        xs = values(x)
        assert [sum(M[i][j] * xs[j] for j in range(n)) for i in range(n)] == bv


def test_solve_documented_cases(rec, dev):
    A = rec([[F(2), F(1)], [F(1), F(3)]])
    before = A.num.clone()
    assert values(A.solve(MT.from_tensor(torch.tensor([3.0, 5.0]), dev))) == [F(4, 5), F(7, 5)]
    x = A.solve(MT.from_tensor(torch.tensor([[3.0], [5.0]]), dev))
    assert x.shape == (2,) and values(x) == [F(4, 5), F(7, 5)]
    assert torch.equal(A.num, before)
    H = rec([[F(1, i + j + 1) for j in range(4)] for i in range(4)])
    b = rec([[F(1)], [F(2)], [F(3)], [F(4)]])
    assert values(H.matmul(H.solve(b).reshape(4, 1))) == [1, 2, 3, 4]
    with pytest.raises(NotImplementedError, match="solve only supports systems up to 4x4"):
        MT.from_int(1, (5, 5), dev).solve(MT.from_int(1, (5,), dev))
    with pytest.raises(ValueError, match="solve requires square matrix A"):
        MT.from_int(1, (2, 3), dev).solve(MT.from_int(1, (2,), dev))
    singular = rec([[F(1), F(2)], [F(2), F(4)]]).solve(MT.from_int(1, (2,), dev))
    assert singular.denom.abs().sum().item() == 0


def test_trace(rec, dev):
    assert value(rec([[F(1, 2), F(7)], [F(0), F(1, 3)]]).trace()) == F(5, 6)
    assert value(rec([[F(3, 6)]]).trace()) == F(1, 2)
    assert value(MT.from_int(1, (0, 0), dev).trace()) == 0
    with pytest.raises(ValueError, match="trace requires square matrix"):
        MT.from_int(1, (2, 2, 2), dev).trace()
    with pytest.raises(TypeError, match=r"trace\(\) takes exactly 1 positional argument \(2 given\)"):
        MT.from_int(1, (2, 2), dev).trace(1)


@pytest.mark.parametrize("M, b", [
    ([[F(1, 2**320), F(0)], [F(0), F(1, 3**202)]], None),
    ([[F(1, 2**320), F(1, 2**320)], [F(0), F(-1, 3**202)]], None),
    ([[F(1, 2**160) if i == j else F(0) for j in range(4)] for i in range(4)], [F(1), F(-3), F(0), F(5, 7)]),
    ([[F(1, 2**250), F(1, 2**250), F(0)], [F(0), F(1, 2**250), F(0)], [F(0), F(0), F(-1, 2**250)]],
     [F(1), F(2), F(3)]),
])
def test_determinant_beyond_the_range_inside_inv_and_solve(rec, M, b):
    # det(M) alone does not fit; the inverse and the solution do.
    with pytest.raises(OverflowError, match="the determinant exceeds the exact range"):
        rec(M).det()
    n = len(M)
    if b is None:
        inv = values(rec(M).inv())
        assert [sum(M[i][t] * inv[t * n + j] for t in range(n)) for i in range(n) for j in range(n)] == [1, 0, 0, 1]
    else:
        xs = values(rec(M).solve(rec([b]).reshape(n)))
        assert [sum(M[i][j] * xs[j] for j in range(n)) for i in range(n)] == b


def test_inverse_entries_beyond_the_range(rec):
    with pytest.raises(OverflowError, match="an entry of the inverse exceeds the exact range"):
        rec([[F(1, 2**610), F(1)], [F(0), F(1, 2**610)]]).inv()


def signed_build(pairs, n, dev):
    """A record from (numerator, denominator) pairs as written, negative denominators kept."""
    num = torch.tensor([[a % p for a, _ in pairs] for p in PRIMES]).view(20, n, n)
    den = torch.tensor([[b % p for _, b in pairs] for p in PRIMES]).view(20, n, n)
    return MT(num.to(dev), den.to(dev))


@pytest.mark.parametrize("n", [2, 3, 4, 5])
@pytest.mark.parametrize("kind", ["negative powers of two", "zero pivots", "wide entries", "singular", "mixed"])
def test_det_of_power_of_two_denominators(kind, n, dev):
    # Float-like entries, cleared by shifts, against Fraction elimination: the sign of a
    # denominator, pivots needing a row swap, rows too wide for the narrow words, zero results.
    rng = random.Random(hash((kind, n)) % 1000)
    pairs = []
    for k in range(n * n):
        a, e = rng.randint(-2**53, 2**53), rng.randint(0, 60)
        b = 2**e * (-1 if kind == "negative powers of two" and rng.random() < 0.5 else 1)
        if kind == "mixed" and k == n + 1:
            b = 3 * b
        pairs.append((a, b))
    if kind == "zero pivots":
        pairs[0] = (0, 1)
        if n > 2:
            pairs[n + 1] = (0, 4)
    if kind == "wide entries":
        # Products past the narrow words in the first block, a small determinant all the same.
        x, y, K = rng.randint(2**380, 2**381), rng.randint(2**380, 2**381), 2**10 + 1
        pairs = [(0, 1)] * (n * n)
        pairs[0], pairs[1], pairs[n], pairs[n + 1] = (x, 1), (y, 1), (x * K + 1, 1), (y * K + 1, 1)
        for k in range(2, n):
            pairs[k * n + k] = (rng.randint(1, 2**53), 2**rng.randint(0, 60))
    if kind == "singular":
        pairs[n:2 * n] = [(2 * a, b) for a, b in pairs[:n]]
    M = [[F(a, b) for a, b in pairs[r * n:(r + 1) * n]] for r in range(n)]
    expected = det_value(M)
    d = signed_build(pairs, n, dev).det()
    assert value(d) == expected
    assert d.num.view(-1).tolist() == residues(expected.numerator)
    assert d.denom.view(-1).tolist() == residues(expected.denominator)


P0 = PRIMES[0]


def residue_cases(n, rng):
    """(name, entries of A as (numerator, denominator), whether the residue kernel may take det,
    and solve). The kernel takes integers and floats; it must hand every other matrix to the
    exact path, including those whose pivots vanish modulo some primes only."""
    floats = [(a, 2**rng.randint(0, 60)) for a in (rng.randint(-2**53, 2**53) for _ in range(n * n))]
    ints = [(rng.randint(-2**40, 2**40), 1) for _ in range(n * n)]
    cases = [("floats", floats, True, True), ("integers", ints, True, True)]
    swap = list(floats)
    swap[0] = (0, 1)  # the first pivot needs a row swap
    cases.append(("row swap", swap, True, True))
    zero_col = [(0, 1) if k % n == n - 1 else x for k, x in enumerate(floats)]
    cases.append(("zero column", zero_col, True, False))
    dependent = list(floats)
    dependent[n:2 * n] = [(3 * a, b) for a, b in floats[:n]]
    cases.append(("dependent rows", dependent, True, False))
    # Column 0 vanishes modulo p_0 in every row: no pivot serves every prime.
    cases.append(("prime multiples", [((k // n + 1) * P0, 1) if k % n == 0 else x for k, x in enumerate(ints)],
                  False, False))
    # det = p_0 (n = 2) or a multiple: zero modulo p_0, which only solve's last pivot minds.
    near = [(1 + (k // n == k % n and k > 0), 1) for k in range(n * n)]
    near[n * n - 1] = (1 + P0, 1)
    cases.append(("det a multiple of p_0", near, True, False))
    thirds = list(floats)
    thirds[n + 1] = (7, 3)
    cases.append(("a third", thirds, False, False))
    wide = list(floats)
    wide[1] = (2**70 + 1, 1)
    cases.append(("wide numerator", wide, False, False))
    tiny = list(floats)
    tiny[0] = (1, 2**200)
    cases.append(("wide denominator", tiny, False, False))
    if n <= 4:
        # Rows spanning 2^-120 to 2^53 clear to 173 bits each: past the primes' range at n = 4
        # (and the determinant itself past it at n = 5).
        spread = [(rng.randint(2**52, 2**53), 2**(120 if k % 2 else 0)) for k in range(n * n)]
        cases.append(("spread exponents", spread, n <= 3, n <= 3))
    return cases


@pytest.mark.parametrize("generic", [False, True])
@pytest.mark.parametrize("n", [2, 3, 4, 5])
def test_det_and_solve_by_residues_decide_only_what_they_can(generic, n):
    rng = random.Random(n)
    bv = [F(rng.randint(-2**53, 2**53), 2**rng.randint(0, 60)) for _ in range(n)]
    for name, pairs, det_kernel, solve_kernel in residue_cases(n, rng):
        M = [[F(a, b) for a, b in pairs[r * n:(r + 1) * n]] for r in range(n)]
        A = signed_build(pairs, n, "cpu")
        expected = det_value(M)
        with generic_kernels(generic), kernel_ran("det") as ran:
            d = A.det()
        assert ran() == (det_kernel and not generic), name
        assert value(d) == expected, name
        assert d.num.view(-1).tolist() == residues(expected.numerator), name
        assert d.denom.view(-1).tolist() == residues(expected.denominator), name
        assert d._approx.item() == torch.tensor(float(expected), dtype=torch.float32).item(), name
        if n > 4:
            continue
        b = MT.from_tensor(torch.tensor([float(x) for x in bv], dtype=torch.float64), "cpu")
        with generic_kernels(generic), kernel_ran("solve") as ran:
            x = A.solve(b)
        assert ran() == (solve_kernel and not generic), name
        if expected != 0:
            xs = values(x)
            assert [sum(M[i][j] * xs[j] for j in range(n)) for i in range(n)] == bv, name
            assert all(residues(v.denominator) == x.denom[:, i].tolist() for i, v in enumerate(xs)), name
            assert all(residues(v.numerator) == x.num[:, i].tolist() for i, v in enumerate(xs)), name


@pytest.mark.parametrize("n", [2, 3, 4])
@pytest.mark.parametrize("factor, scale", [(3, 1), (15, 2**40)])
def test_solve_components_that_share_a_denominator(n, factor, scale):
    # x_i = b_i / factor: the determinants share an odd factor with every numerator, and every
    # component has the same denominator, which later components take from earlier ones.
    pairs = [(factor * scale if r == c else 0, scale) for r in range(n) for c in range(n)]
    bv = [F(k) for k in (1, 2, 4, 7)[:n]]
    A = signed_build(pairs, n, "cpu")
    with kernel_ran("solve") as ran:
        x = A.solve(MT.from_tensor(torch.tensor([float(v) for v in bv], dtype=torch.float64), "cpu"))
    assert ran()
    xs = [v / factor for v in bv]
    assert values(x) == xs
    assert [list(c) for c in zip(*x.num.tolist())] == [residues(v.numerator) for v in xs]
    assert [list(c) for c in zip(*x.denom.tolist())] == [residues(v.denominator) for v in xs]


@pytest.mark.parametrize("x", [2**70 + 2**46, 2**70 + 2**46 + 2**17, 2**70 + 2**46 + 2**17 + 1,
                               -(2**200 + 2**176 + 1), 2**64 - 1, 3**100])
@pytest.mark.parametrize("den", [1, 8, 2**500, 3**50, 7 * 2**300])
def test_hints_of_wide_values_round_as_python_does(x, den):
    # The hint of a wide value is its quotient rounded from 62 bits and a sticky bit: a dropped
    # bit turns a value just above a tie into the tie, and double rounding then moves the
    # float32 the other way.
    d = signed_build([(x, 1), (0, 1), (0, 1), (1, den)], 2, "cpu").det()
    assert value(d) == F(x, den)
    assert d._approx.item() == torch.tensor(float(F(x, den)), dtype=torch.float32).item()
