"""dot, trace and cumsum of dyadic records where the record is, against Fraction and the host path."""
import random
from fractions import Fraction

import pytest
import torch
from torch.utils._python_dispatch import TorchDispatchMode

from conftest import HALF, MT, PRIMES, kernel_ran, residues, values


def rows(fs, dev):
    n = torch.tensor([[f[0] % p for f in fs] for p in PRIMES], dtype=torch.long)
    d = torch.tensor([[f[1] % p for f in fs] for p in PRIMES], dtype=torch.long)
    return n.to(dev), d.to(dev)


def raw(fs, dev, shape=None):
    """A record of the given unreduced (numerator, denominator) pairs."""
    n, d = rows(fs, dev)
    shape = shape or (len(fs),)
    return MT(n.view(20, *shape), d.view(20, *shape))


def host_cumsum(fs, dev):
    """The host loop's cumsum of `fs`: one element 1/3 past the end keeps the record off the
    dyadic path, and a running sum never looks ahead."""
    c = raw(list(fs) + [(1, 3)], dev).cumsum()
    return c.num[:, :len(fs)], c.denom[:, :len(fs)]


def pairs_of(kind, n, seed=0):
    rng = random.Random(seed)
    if kind == "floats":
        return [Fraction(v).as_integer_ratio() for v in torch.randn(n, dtype=torch.float64,
                generator=torch.Generator().manual_seed(seed)).tolist()]
    if kind == "zeros":
        return [(0, 2 ** rng.randint(0, 5)) for _ in range(n)]
    if kind == "negative-denominators":
        return [(rng.randint(-99, 99), -(2 ** rng.randint(0, 40)) if rng.random() < 0.5 else 2 ** rng.randint(0, 40))
                for _ in range(n)]
    if kind == "mixed-exponents":
        # the sum of n such terms stays below 2^(8 + 600 + 8)
        return [(rng.choice([-1, 1]) * (rng.getrandbits(8) | 1), 2 ** rng.randint(1, 600)) for _ in range(n)]
    if kind == "wide-numerators":
        # numerators near the range edge that cancel: the documented form stops fitting mid-chunk
        return [((-1) ** i * (2**600 - 2 ** rng.randint(0, 500)), 2 ** rng.randint(0, 8)) for i in range(n)]
    raise AssertionError(kind)


KINDS = ["floats", "zeros", "negative-denominators", "mixed-exponents", "wide-numerators"]


@pytest.mark.parametrize("n", [1, 31, 32, 33, 65, 200])
@pytest.mark.parametrize("kind", KINDS)
def test_cumsum_matches_fractions_and_the_host_loop(dev, kind, n):
    fs = pairs_of(kind, n, seed=n)
    got = raw(fs, dev).cumsum()
    running, expected = Fraction(0), []
    for a, b in fs:
        running += Fraction(a, b)
        expected.append(running)
    assert got.shape == (n,) and values(got) == expected
    hn, hd = host_cumsum(fs, dev)
    assert torch.equal(got.num, hn) and torch.equal(got.denom, hd)
    # the result's size bound is what keeps later arithmetic on it exact
    squares = [v * v for v in expected]
    if all(abs(v.numerator) <= HALF and v.denominator <= HALF for v in squares):
        assert values(got * got) == squares
    else:
        with pytest.raises(OverflowError):
            got * got


def test_cumsum_keeps_the_documented_unreduced_form(dev):
    # the accumulator carries the product of the denominators until the renormalisation
    got = raw([(1, 2), (1, -4), (3, 8)] + [(1, 2)] * 31, dev).cumsum()
    assert got.denom[:, 1].tolist() == residues(-8) and got.num[:, 1].tolist() == residues(-4 + 2)
    assert got.denom[:, 2].tolist() == residues(-64) and got.num[:, 2].tolist() == residues(-2 * 8 + -8 * 3)
    # element 32 starts from the lowest-terms sum of the first 32
    first32 = sum([Fraction(1, 2), Fraction(1, -4), Fraction(3, 8)] + [Fraction(1, 2)] * 29)
    doc = (first32.numerator * 2 + first32.denominator, first32.denominator * 2)
    assert got.num[:, 32].tolist() == residues(doc[0]) and got.denom[:, 32].tolist() == residues(doc[1])


def test_cumsum_of_an_empty_record(dev):
    assert MT.from_int(1, (0,), dev).cumsum().shape == (0,)


@pytest.mark.parametrize("fs", [
    pytest.param([(2**618, 1), (2**618, 1)], id="second-element"),
    pytest.param([(1, 2)] * 40 + [(2**618, 1)] * 3, id="later-chunk"),
    pytest.param([(2**618, 1), (2**618, 1), (-(2**618), 1)] + [(1, 2)] * 40, id="leaves-and-returns"),
    pytest.param([(2**618, 1)] + [(0, 1)] * 30 + [(2**618, 1)] + [(1, 4)] * 5, id="at-a-chunk-end"),
])
def test_cumsum_leaving_the_range_raises_like_the_host_loop(dev, fs):
    with pytest.raises(OverflowError, match="exceeds the exact range"):
        raw(fs, dev).cumsum()
    with pytest.raises(OverflowError, match="exceeds the exact range"):
        host_cumsum(fs, dev)


def test_cumsum_hint_is_the_running_float_sum(dev):
    x = torch.randn(70, dtype=torch.float64, generator=torch.Generator().manual_seed(4))
    got = MT.from_tensor(x, dev).cumsum()
    assert torch.allclose(got._approx.cpu(), torch.cumsum(x.float(), 0))


# ---------------------------------------------------------------- dot

def lowest_residues(rec, f):
    return rec.num.view(-1).tolist() == residues(f.numerator) and rec.denom.view(-1).tolist() == residues(f.denominator)


@pytest.mark.parametrize("xs, ys", [
    ((1000,), (1000,)),
    ((1, 1), (11, 4)),
    ((4,), (11, 4)),
    ((11, 1), (1, 4)),
    ((3, 5), (3, 5)),
])
def test_dot_of_floats_broadcasts_and_is_in_lowest_terms(dev, xs, ys):
    g = torch.Generator().manual_seed(sum(xs) + sum(ys))
    a, b = torch.randn(xs, dtype=torch.float64, generator=g), torch.randn(ys, dtype=torch.float64, generator=g)
    got = MT.from_tensor(a, dev).dot(MT.from_tensor(b, dev))
    A, B = torch.broadcast_tensors(a, b)
    expected = sum(Fraction(u) * Fraction(v) for u, v in zip(A.reshape(-1).tolist(), B.reshape(-1).tolist()))
    assert got.shape == (1,) and lowest_residues(got, expected)
    assert got._approx.item() == pytest.approx((a.float() * b.float()).sum().item(), rel=1e-5, abs=1e-5)


@pytest.mark.parametrize("xf, yf", [
    pytest.param([(3, -4), (5, 2**600), (0, 1)], [(7, 2**17), (-(2**300), 1), (9, -2)], id="signs-and-wide"),
    pytest.param([(1, 3), (1, 2)], [(3, 1), (1, 2)], id="not-dyadic"),
    # the first product, 2^1220 at scale 2^610, is past the accumulator; the sum is 2^-610
    pytest.param([(2**610, 1), (2**610, 1), (1, 2**610)], [(2**610, 1), (-(2**610), 1), (1, 1)],
                 id="past-the-accumulator"),
    pytest.param([(0, 1), (0, 8)], [(5, 1), (7, 2)], id="zero"),
])
def test_dot_of_exact_values(dev, xf, yf):
    got = raw(xf, dev).dot(raw(yf, dev))
    expected = sum(Fraction(*p) * Fraction(*q) for p, q in zip(xf, yf))
    assert lowest_residues(got, expected)


# Widths (numerator bits, largest exponent of two below) that take one to four residues per
# operand row, over blocks of elements and their tail; a third in the middle sends the whole
# dot to the host.
@pytest.mark.parametrize("xw, yw", [((20, 0), (53, 52)), ((53, 90), (100, 0)), ((100, 120), (20, 5)), ((61, 61), (61, 61))])
@pytest.mark.parametrize("third", [False, True])
def test_dot_of_dyadic_values_of_every_width(dev, xw, yw, third):
    rng = random.Random(sum(xw) + 3 * sum(yw))

    def pairs(bits, top):
        return [(rng.randrange(-(2**bits), 2**bits), 2 ** rng.randrange(top + 1)) for _ in range(1003)]

    xf, yf = pairs(*xw), pairs(*yw)
    xf[300] = (0, 1)
    if third:
        yf[700] = (1, 3)
    expected = sum(Fraction(*p) * Fraction(*q) for p, q in zip(xf, yf))
    x, y = raw(xf, dev), raw(yf, dev)
    with kernel_ran("dot") as ran:
        got = x.dot(y)
    assert lowest_residues(got, expected) and ran() != third


def test_dot_out_of_range_raises(dev):
    with pytest.raises(OverflowError, match="exceeds the exact range"):
        raw([(2**400, 1), (1, 1)], dev).dot(raw([(2**300, 1), (1, 1)], dev))


# ---------------------------------------------------------------- trace

@pytest.mark.parametrize("n", [2, 33, 130])
def test_trace_of_floats(dev, n):
    a = torch.randn(n, n, dtype=torch.float64, generator=torch.Generator().manual_seed(n))
    got = MT.from_tensor(a, dev).trace()
    expected = sum(Fraction(a[i, i].item()) for i in range(n))
    assert lowest_residues(got, expected)


# ---------------------------------------------------------------- staying on the device

class HostCopies(TorchDispatchMode):
    """Counts the bytes of every copy from a non-CPU tensor to the host inside the block."""

    def __init__(self):
        super().__init__()
        self.bytes = 0

    def __torch_dispatch__(self, func, types, args=(), kwargs=None):
        kwargs = kwargs or {}
        out = func(*args, **kwargs)
        src = args[0] if args and isinstance(args[0], torch.Tensor) else None
        if func in (torch.ops.aten._to_copy.default, torch.ops.aten.copy_.default):
            if func is torch.ops.aten.copy_.default:
                src, dst = args[1], args[0]
            else:
                dst = out
            if isinstance(src, torch.Tensor) and src.device.type != "cpu" and dst.device.type == "cpu":
                self.bytes += dst.numel() * dst.element_size()
        return out


@pytest.mark.parametrize("op", ["dot", "trace", "cumsum"])
def test_dyadic_reductions_leave_tensor_data_on_the_device(dev, op):
    if dev == "cpu":
        pytest.skip("only a device record can show what crosses to the host")
    g = torch.Generator().manual_seed(7)
    if op == "trace":
        x = MT.from_tensor(torch.randn(2048, 2048, dtype=torch.float64, generator=g), dev)
        run, moved_if_copied = x.trace, 2048 * 20 * 8
    else:
        x = MT.from_tensor(torch.randn(100_000, dtype=torch.float64, generator=g), dev)
        y = MT.from_tensor(torch.randn(100_000, dtype=torch.float64, generator=g), dev)
        run, moved_if_copied = (lambda: x.dot(y)) if op == "dot" else x.cumsum, 100_000 * 20 * 8
    run()  # the first call measures bounds and caches tables
    with HostCopies() as seen:
        run()
    assert seen.bytes < moved_if_copied // 4


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("shape", [(3, 40), (1, 13), (5, 1), (2, 300)])
def test_axis_sums_match_fractions_and_keep_the_documented_form(dev, kind, shape):
    rows_, m = shape
    fs = pairs_of(kind, rows_ * m, seed=m)
    if kind != "wide-numerators":
        fs[0] = (1, 2**600)  # the bound then exceeds the range, whatever the row's exponents
    x = raw(fs, dev, shape)
    try:
        got = x.sum(dim=1)
    except OverflowError:
        assert any(abs(sum(Fraction(a, b) for a, b in fs[o * m:(o + 1) * m])).numerator > HALF for o in range(rows_))
        return
    vals = values(got)
    for o in range(rows_):
        row = fs[o * m:(o + 1) * m]
        exact = sum((Fraction(a, b) for a, b in row), Fraction(0))
        assert vals[o] == exact
        den = 1
        for _, b in row:
            den *= b
        # The documented unreduced sum where it fits, else lowest terms.
        doc_n = exact * den
        if abs(den) <= HALF and abs(doc_n.numerator) <= HALF and abs(den).bit_length() <= 620:
            want = (doc_n.numerator, den)
        else:
            want = (exact.numerator, exact.denominator)
        assert got.num[:, o].tolist() == residues(want[0]) and got.denom[:, o].tolist() == residues(want[1])
    # to_float reads only the residue rows the carried bound names: a bound too small shows.
    assert got.to_float().tolist() == [MT.from_fraction(v.numerator, v.denominator, (), "cpu").to_float().item()
                                       for v in vals]


def test_axis_sum_falls_back_for_general_denominators(dev):
    fs = [(1, 2**600)] + [(1, 3)] * 12
    got = raw(fs, dev, (1, 13)).sum(dim=1)
    assert values(got) == [Fraction(1, 2**600) + 4]


@pytest.mark.parametrize("tail", [(1, 2), (3, -2), (-5, 1)])
def test_axis_sum_keeps_the_unreduced_form_past_the_bound(dev, tail):
    # The bound (13 denominators of up to 601 bits) says nothing fits; the exact product of the
    # denominators, 2^612 at most, does: the documented fraction comes back.
    fs = [(1, 2**600)] + [tail] * 12
    got = raw(fs, dev, (1, 13)).sum(dim=1)
    den = 2**600 * tail[1] ** 12
    num = sum(Fraction(a, b) for a, b in fs) * den
    assert got.num[:, 0].tolist() == residues(num.numerator) and got.denom[:, 0].tolist() == residues(den)


# Elements that look like float-derived ones to a reading of a few residues but are not, or
# are but not in the form the eight-lane reading takes: each must be read the exact way.
# Lookalikes agree with 2^k modulo every prime but the last, or but the first, of those the
# record's denominators need (keyed by the record's top k), or are odd multiples of 2^k.
P0, P1, P2, P3 = PRIMES[:4]
LOOKALIKES = {50: [(5, 2**40 + P0)],
              80: [(7, 2**70 + P0 * P1), (11, 1 + P1 * P2)],
              110: [(3, 2**100 + P0 * P1 * P2), (13, 1 + P1 * P2 * P3)]}
ODD_MULTIPLES = [(9, 3 * 2**10), (1, 2**30 - 1)]
DYADIC_ODDITIES = [(-3, -(2**20)), (0, -(2**5)), (2**53 + 1, 2**30), (-(2**59) - 12345, 2**3), (0, 1), (11, -1)]


def lanes_record_pairs(top, oddities, seed, n=67):
    """n pairs m / 2^k (k <= top, so the record takes as many residues as top needs) with the
    oddities spread over different lanes of different groups of eight, none in the ragged end
    that is read one element at a time."""
    rng = random.Random(seed)
    pairs = [(rng.randrange(-(2**53), 2**53), 2 ** rng.randrange(top + 1)) for _ in range(n)]
    for i, p in enumerate(oddities):
        pairs[(i * 9 + 2) % (n // 8 * 8)] = p
    pairs[-1] = (1, 2**top)
    return pairs


@pytest.mark.parametrize("top", [50, 80, 110])
@pytest.mark.parametrize("lookalikes", [False, True])
def test_float_lanes_decide_only_what_they_can_prove(dev, top, lookalikes):
    from conftest import f32
    odd = DYADIC_ODDITIES + (LOOKALIKES[top] + ODD_MULTIPLES if lookalikes else [])
    xf, yf = lanes_record_pairs(top, odd, top), lanes_record_pairs(top, odd[::-1], top + 1)
    x, y = raw(xf, dev), raw(yf, dev)
    assert x.to_float().tolist() == [f32(Fraction(*p)) for p in xf]
    assert y.to_float().tolist() == [f32(Fraction(*q)) for q in yf]
    fx, fy = [Fraction(*p) for p in xf], [Fraction(*q) for q in yf]
    assert x.lt(y).tolist() == [u < v for u, v in zip(fx, fy)]
    # near-equal neighbours: the keys tie and the exact order decides
    near = raw([(2 * m + 1, 2 * d) if i % 3 == 0 else (m, d) for i, (m, d) in enumerate(xf)], dev)
    assert x.lt(near).tolist() == [i % 3 == 0 and u < Fraction(2 * m + 1, 2 * d) for i, (u, (m, d)) in
                                   enumerate(zip(fx, xf))]
    assert x.argsort().tolist() == sorted(range(len(fx)), key=fx.__getitem__)
    assert values(x.sum()) == [sum(Fraction(*p) for p in xf)]
    with kernel_ran("dot") as ran:
        got = x.dot(y)
    assert values(got) == [sum(Fraction(*p) * Fraction(*q) for p, q in zip(xf, yf))]
    assert ran() != lookalikes
