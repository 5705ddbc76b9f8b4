"""Broadcasting and the field operations: residues where documented, exact values always."""
import random
from fractions import Fraction

import pytest
import torch

from conftest import HALF, MT, PRIMES, mc, residues, value, values


def test_broadcast_equal_shapes_returns_operands(frac):
    a, b = frac(1, 2, (2, 3)), frac(1, 3, (2, 3))
    x, y = a._broadcast_with(b)
    assert x is a and y is b


@pytest.mark.parametrize("sa,sb,out", [((), (2, 3), (2, 3)), ((3,), (2, 3), (2, 3)),
                                       ((4,), (3, 4), (3, 4)), ((2, 1), (1, 3), (2, 3))])
def test_broadcast_shapes(sa, sb, out, frac):
    a, b = frac(1, 2, sa), frac(1, 3, sb)
    x, y = a._broadcast_with(b)
    assert x.shape == out and y.shape == out
    assert x.num.is_contiguous() and x.num.shape == (20,) + out
    assert (y is b) == (sb == out)
    if sa != out:
        assert not x._approx.is_contiguous()


def test_broadcast_rows_repeat_and_mismatch_errors(frac, dev):
    row = MT(torch.stack([torch.tensor([1, 2, 3]) % p for p in PRIMES]).to(dev), torch.ones(20, 3, dtype=torch.int64, device=dev))
    x, _ = row._broadcast_with(frac(0, 1, (2, 3)))
    assert values(x) == [1, 2, 3, 1, 2, 3]
    with pytest.raises(RuntimeError):
        frac(1, 1, (2,))._broadcast_with(frac(1, 1, (3,)))


def test_documented_residues_of_operations(frac):
    half = frac(1, 2)
    s = half + half
    assert s.num.tolist() == residues(4) and s.denom.tolist() == residues(4)
    p = frac(2, 3) * frac(3, 2)
    assert p.num.tolist() == residues(6) and p.denom.tolist() == residues(6)
    d = frac(0) - frac(1, 3)
    assert d.num.tolist() == residues(-1) and d.denom.tolist() == residues(3)
    r = 3 - frac(1, 3)
    assert value(r) == Fraction(8, 3)
    x = frac(5, 7, (2,))
    assert torch.equal((-(-x)).num, x.num) and torch.equal(x.reciprocal().reciprocal().num, x.num)
    assert (-frac(0)).num.eq(0).all()


@pytest.mark.parametrize("number,expected", [(0.5, 0), (2.0, 2), (True, 1), (-2.7, -2), (7, 7)])
def test_number_operands_truncate(number, expected, frac):
    x = frac(1, 3)
    assert value(x + number) == Fraction(1, 3) + expected
    assert value(number + x) == Fraction(1, 3) + expected
    assert value(x * number) == Fraction(expected, 3)
    assert value(number - x) == expected - Fraction(1, 3)


def test_zero_divisors_give_zero_denominators(frac):
    x = frac(2, 3, (2,))
    q = x / 0
    assert q.denom.eq(0).all()
    assert torch.allclose(q._approx, x._approx / 1e-30)
    r = frac(0, 1, (2,)).reciprocal()
    assert r.denom.eq(0).all() and torch.isinf(r._approx).all()


def test_hints_follow_or_vanish(frac):
    x, y = frac(1, 2, (2,)), MT(frac(1, 3, (2,)).num, frac(1, 3, (2,)).denom)
    assert (x + y)._approx is None and (x / y)._approx is None
    assert torch.allclose((x * x)._approx.cpu(), torch.tensor([0.25, 0.25]))
    assert torch.allclose((x + 1)._approx.cpu(), torch.tensor([1.5, 1.5]))


@pytest.mark.parametrize("bad,exc", [(None, AttributeError), ("a", AttributeError),
                                     (float("nan"), ValueError), (float("inf"), OverflowError)])
def test_bad_operands(bad, exc, frac):
    with pytest.raises(exc):
        frac(1, 2) + bad


def test_no_reflected_division(frac):
    with pytest.raises(TypeError):
        2 / frac(1, 2)


def test_argument_counts(frac):
    x = frac(1, 2)
    with pytest.raises(TypeError, match=r"^__add__\(\) takes exactly 2 positional arguments \(3 given\)$"):
        x.__add__(1, 2)
    with pytest.raises(TypeError, match=r"^__neg__\(\) takes exactly 1 positional argument \(2 given\)$"):
        x.__neg__(1)


OPS = {"+": lambda a, b: a + b, "-": lambda a, b: a - b, "*": lambda a, b: a * b, "/": lambda a, b: a / b}


@pytest.mark.parametrize("op", OPS)
def test_random_operations_against_fractions(op, dev):
    rng = random.Random(7)
    nums = [Fraction(rng.randint(-10**6, 10**6), rng.randint(1, 10**6)) for _ in range(12)]
    dens = [Fraction(rng.randint(1, 10**6), rng.randint(1, 10**6)) for _ in range(12)]

    def record(fs):
        n = torch.tensor([[f.numerator % p for f in fs] for p in PRIMES])
        d = torch.tensor([[f.denominator % p for f in fs] for p in PRIMES])
        return MT(n.view(20, 3, 4).to(dev), d.view(20, 3, 4).to(dev))

    a, b = record(nums), record(dens)
    assert values(OPS[op](a, b)) == [OPS[op](x, y) for x, y in zip(nums, dens)]


def test_growth_beyond_the_range_stays_exact(dev):
    # Every product doubles the sizes; unreduced 2^k / 2^k leaves the range after a few steps
    # while the value stays 1.
    x = MT.from_fraction(2**150, 2**150, (3,), dev)
    y = x
    for _ in range(4):
        y = y * y
    assert values(y) == [1, 1, 1]
    # 1/2^200 added six times: the cross products exceed the range, the exact sum does not.
    h = MT.from_fraction(1, 2**200, (2,), dev)
    t = h
    for _ in range(5):
        t = t + h
    assert values(t) == [Fraction(6, 2**200)] * 2


def test_unreduced_results_kept_where_they_fit(dev):
    # A mix: one element needs reduction, the other keeps the documented residues.
    a = MT(torch.stack([torch.tensor([2**40 % p, 1]) for p in PRIMES]).to(dev),
           torch.stack([torch.tensor([2**40 % p, 3]) for p in PRIMES]).to(dev))
    b = MT.from_fraction(2**600, 2**600, (2,), dev) * MT.from_int(1, (2,), dev)
    r = a * b
    assert values(r) == [1, Fraction(1, 3)]


def test_overflow_when_nothing_fits(dev):
    big = MT.from_int(2**400, (2,), dev)
    with pytest.raises(OverflowError, match="exceeds the exact range"):
        big * big
    with pytest.raises(OverflowError):
        MT.from_int(HALF, (), dev) + MT.from_int(HALF, (), dev)
    assert value(MT.from_int(HALF, (), dev) - MT.from_int(HALF, (), dev)) == 0



@pytest.mark.parametrize("op", OPS)
def test_kernels_equal_pytorch_remainder(op, dev):
    # Barrett reduction must give exactly what `%` gives, including residues 0, 1, p-1, p-2
    # (integers 0, 1, -1, -2) and residues near 2^31 from large negative integers.
    g = torch.Generator().manual_seed(1)
    p = torch.tensor(PRIMES).view(20, 1)

    def residues_tensor(nonzero):
        ints = torch.randint(-(2**62), 2**62, (4096,), generator=g)
        ints = torch.cat([torch.tensor([1, -1, -2, 2**62, -(2**62)]), ints] + [torch.tensor([3 if nonzero else 0])])
        return ints.view(1, -1) % p

    an, bn = residues_tensor(False), residues_tensor(False)
    ad, bd = residues_tensor(True), residues_tensor(True)
    expected = {"+": ((an * bd % p + ad * bn % p) % p, (ad * bd) % p),
                "-": ((an * bd % p - ad * bn % p) % p, (ad * bd) % p),
                "*": ((an * bn) % p, (ad * bd) % p), "/": ((an * bd) % p, (ad * bn) % p)}[op]
    out = OPS[op](MT(an.to(dev), ad.to(dev)), MT(bn.to(dev), bd.to(dev)))
    assert torch.equal(out.num.cpu(), expected[0]) and torch.equal(out.denom.cpu(), expected[1])


HINT_OPS = {"+": lambda x, y: x + y, "-": lambda x, y: x - y, "*": lambda x, y: x * y,
            "/": lambda x, y: x / (y + 1e-30)}


def one_element(f, shape, hint, dev, contiguous=True):
    n = torch.tensor([f.numerator % p for p in PRIMES]).view(20, *shape)
    d = torch.tensor([f.denominator % p for p in PRIMES]).view(20, *shape)
    if not contiguous:
        # Every other column of a wider block: the same values through a strided view.
        n = torch.stack([n.reshape(20), n.reshape(20)], 1).view(20, 2)[:, :1].view(20, *shape) if shape else n
        d = torch.stack([d.reshape(20), d.reshape(20)], 1).view(20, 2)[:, :1].view(20, *shape) if shape else d
    h = None if hint is None else torch.tensor(hint, dtype=torch.float32).view(shape).to(dev)
    return MT(n.to(dev), d.to(dev), mc.PRIMES.to(dev), h)


@pytest.mark.parametrize("op", OPS)
@pytest.mark.parametrize("shape,contiguous", [((), True), ((1,), True), ((1, 1), True), ((1,), False)])
def test_one_element_operations(op, shape, contiguous, dev):
    # Exact values, the residues of the `%` formulas, and bit for bit the hint the torch op on
    # the hints gives, including its infinities, zero divisors and subnormal hints.
    rng = random.Random(11)
    specials = [0.0, -0.0, 1e-38, 3e-45, float("inf"), 3e38, 1e-30, -1e-30]
    p = torch.tensor(PRIMES)
    for k in range(40):
        x = Fraction(rng.randint(-10**9, 10**9), rng.randint(1, 10**9))
        y = Fraction(rng.randint(-10**9, 10**9) if k % 7 else 0, rng.randint(1, 10**9))
        hx = specials[k % len(specials)] if k % 3 == 0 else rng.uniform(-1e4, 1e4)
        hy = specials[(k // 3) % len(specials)] if k % 5 == 0 else rng.uniform(-1e-3, 1e-3)
        a = one_element(x, shape, hx, dev, contiguous)
        b = one_element(y, shape, hy, dev)
        r = OPS[op](a, b)
        assert r.shape == torch.Size(shape) and r.num.shape == (20, *shape)
        an, ad, bn, bd = (t.reshape(20).cpu() for t in (a.num, a.denom, b.num, b.denom))
        want = {"+": ((an * bd + ad * bn) % p, ad * bd % p), "-": ((an * bd - ad * bn) % p, ad * bd % p),
                "*": (an * bn % p, ad * bd % p), "/": (an * bd % p, ad * bn % p)}[op]
        assert torch.equal(r.num.reshape(20).cpu(), want[0]) and torch.equal(r.denom.reshape(20).cpu(), want[1])
        if op != "/" or y:
            assert value(r) == OPS[op](x, y)
        expected = HINT_OPS[op](a._approx, b._approx)
        assert r._approx.dtype == expected.dtype and r._approx.shape == expected.shape
        assert torch.equal(r._approx.isnan(), expected.isnan())
        assert torch.equal(r._approx.nan_to_num(), expected.nan_to_num())


@pytest.mark.parametrize("hints", [(None, 1.0), (1.0, None), "float64", "grad"])
def test_one_element_hints_of_other_kinds(hints, dev):
    # Hints the direct loop does not compute itself still come out as the torch op makes them.
    a, b = one_element(Fraction(3, 7), (), 0.25, dev), one_element(Fraction(-5, 11), (), 0.5, dev)
    if hints == "float64":
        a._approx = a._approx.double()
    elif hints == "grad":
        a._approx = a._approx.clone().requires_grad_()
    else:
        a = one_element(Fraction(3, 7), (), hints[0], dev)
        b = one_element(Fraction(-5, 11), (), hints[1], dev)
    r = a * b
    assert value(r) == Fraction(-15, 77)
    if a._approx is None or b._approx is None:
        assert r._approx is None
    else:
        expected = a._approx * b._approx
        assert r._approx.dtype == expected.dtype and r._approx.requires_grad == expected.requires_grad
        assert torch.equal(r._approx.detach(), expected.detach())


@pytest.mark.parametrize("shape", [(), (1,), (1, 1)])
@pytest.mark.parametrize("hint", [0.5, -0.0, float("inf"), float("nan"), None, "subclass"])
def test_one_element_negation(shape, hint, dev):
    class Marked(torch.Tensor):
        pass

    rng = random.Random(5)
    for x in [Fraction(0), Fraction(-1), Fraction(rng.randint(1, 10**12), rng.randint(1, 10**12))]:
        a = one_element(x, shape, None if hint in (None, "subclass") else hint, dev)
        if hint == "subclass":
            a._approx = torch.tensor(0.25).view(shape).as_subclass(Marked)
        r = -a
        assert value(r) == -x and r.num.shape == (20, *shape)
        assert r.num.reshape(20).tolist() == residues(-x.numerator)
        if a._approx is None:
            assert r._approx is None
        else:
            expected = -a._approx
            assert type(r._approx) is type(expected) and r._approx.shape == expected.shape
            assert torch.equal(r._approx.signbit(), expected.signbit())
            assert torch.equal(r._approx.isnan(), expected.isnan())


@pytest.mark.parametrize("shape", [(), (1,), (1, 1)])
def test_scalar_chains_keep_the_hints_torch_computes(shape):
    """One-element CPU results hold their hint as a number until it is read: it must read as
    the tensor the ATen formulas give, stay one object, and take in-place writes."""
    import pickle
    from conftest import generic_kernels

    def chain():
        a, b = MT.from_fraction(1, 3, shape, "cpu"), MT.from_fraction(-2, 7, shape, "cpu")
        c = -((a + b) * a - b / a)
        return a, c, c * c

    with generic_kernels(True):
        _, want_c, want_d = chain()
    a, c, d = chain()
    for got, want in ((c, want_c), (d, want_d)):
        h = got._approx
        assert h is got._approx and h.dtype == torch.float32 and h.shape == shape
        assert torch.equal(h, want._approx)
    assert torch.equal(pickle.loads(pickle.dumps(d))._approx, want_d._approx)
    c._approx.fill_(5.0)
    assert torch.equal((c + a)._approx, torch.full(shape, 5.0) + a._approx)
