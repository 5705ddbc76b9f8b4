"""Float and integer tensors in, correctly rounded float32 tensors out."""
import math
import random
from fractions import Fraction

import pytest
import torch
from hypothesis import HealthCheck, given, settings, strategies as st

from conftest import f32, generic_kernels, MT, mc, residues, value, values

decompose = mc._ieee754_decompose


@pytest.mark.parametrize("x, expected", [
    (0.0, (0, 0)), (-0.0, (0, 0)), (1.0, (2**52, -52)), (-0.5, (-(2**52), -53)),
    (3.0, (6755399441055744, -51)), (5e-324, (1, -1074)), (1.7976931348623157e308, (2**53 - 1, 971)),
    (float("inf"), (2**52, 972)), (float("-inf"), (-(2**52), 972)), (3, (6755399441055744, -51)),
    (2**53 + 1, (2**52, 1)),
])
def test_decompose(x, expected):
    assert decompose(x) == expected


def test_decompose_nan_and_refusals():
    m, e = decompose(float("nan"))
    assert e == 972 and abs(m) >= 2**52
    with pytest.raises(TypeError):
        decompose("1.5")
    with pytest.raises(TypeError, match="takes exactly 1 positional argument"):
        decompose()
    assert "_ieee754_decompose" not in mc.__all__


def test_from_tensor_documented_example(dev):
    x = MT.from_tensor(torch.tensor([0.5, -2.0]), dev)
    assert x.shape == (2,) and x.device.type == torch.device(dev).type
    assert values(x) == [Fraction(1, 2), Fraction(-2)]
    assert x._approx.dtype == torch.float32 and x._approx.tolist() == [0.5, -2.0]


def test_from_tensor_keeps_unreduced_dyadic_residues(dev):
    x = MT.from_tensor(torch.tensor([1.0, 0.5, 6.0], dtype=torch.float64), dev)
    assert x.num[:, 0].tolist() == residues(2**52) and x.denom[:, 0].tolist() == residues(2**52)
    assert x.denom[:, 1].tolist() == residues(2**53)
    assert x.num[:, 2].tolist() == residues(3 * 2**51) and x.denom[:, 2].tolist() == residues(2**50)


def test_from_tensor_shapes_and_hint_identity(dev):
    s = MT.from_tensor(torch.tensor(2.5), dev)
    assert s.num.shape == (20,) and value(s) == Fraction(5, 2)
    e = MT.from_tensor(torch.empty(0, 3), dev)
    assert e.shape == (0, 3) and e.to_float().shape == (0, 3)
    f = torch.tensor([1.5, 2.5], device=dev)
    assert MT.from_tensor(f, dev)._approx is f
    with pytest.raises(TypeError, match="Argument 'device' has incorrect type"):
        MT.from_tensor(f, torch.device(dev))


@pytest.mark.parametrize("dtype", [torch.float16, torch.bfloat16, torch.float32, torch.float64])
def test_every_float_dtype_is_taken_exactly(dev, dtype):
    x = torch.tensor([0.1, -3.25, 1e-3, 0.0, 65504.0 if dtype == torch.float16 else 1e4], dtype=dtype)
    assert values(MT.from_tensor(x, dev)) == [Fraction(float(v)) for v in x.tolist()]


def test_one_tenth_is_the_double_nearest_to_it(dev):
    assert values(MT.from_tensor(torch.tensor([0.1], dtype=torch.float64), dev)) == [
        Fraction(3602879701896397, 36028797018963968)]
    assert values(MT.from_tensor(torch.tensor([0.1]), dev)) == [Fraction(13421773, 134217728)]


@pytest.mark.parametrize("dtype", [torch.bool, torch.uint8, torch.int8, torch.int16, torch.int32, torch.int64])
def test_integer_tensors_are_exact(dev, dtype):
    info = torch.iinfo(dtype) if dtype != torch.bool else None
    vals = [0, 1, True] if dtype == torch.bool else [info.min, info.max, 0, 7, -1 if info.min < 0 else 1]
    x = torch.tensor(vals, dtype=dtype)
    assert values(MT.from_tensor(x, dev)) == [Fraction(int(v)) for v in x.tolist()]


def test_int64_beyond_double_precision_and_uint64(dev):
    vals = [2**53 + 1, -(2**63), 2**63 - 1, -(2**62) - 3]
    assert values(MT.from_tensor(torch.tensor(vals), dev)) == [Fraction(v) for v in vals]
    u = torch.tensor([2**64 - 1, 5], dtype=torch.uint64)
    assert values(MT.from_tensor(u, dev)) == [Fraction(2**64 - 1), Fraction(5)]
    one = MT.from_tensor(torch.tensor([1]), dev)  # the residues of the double 1.0
    assert one.num[:, 0].tolist() == residues(2**52) and one.denom[:, 0].tolist() == residues(2**52)


def documented_residues(v):
    """The unreduced (numerator, denominator) from_tensor stores for a double, from its decomposition."""
    m, e = decompose(v)
    return m * 2 ** max(e, 0), 2 ** max(-e, 0)


# Lengths around the eight lanes and the blocks of the row loops; offsets that start the rows
# off a cache line, so that the streamed stores meet unaligned heads and tails.
@pytest.mark.parametrize("n", [1, 7, 9, 255, 257, 1003])
def test_from_tensor_residues_at_every_length(dev, n):
    g = torch.Generator().manual_seed(n)
    x = torch.randn(n, generator=g, dtype=torch.float64) * torch.pow(2.0, torch.randint(-60, 60, (n,), generator=g))
    x[::5] = -x[::5]
    x[::11] = 0.0
    r = MT.from_tensor(x, dev)
    num, den = r.num.cpu(), r.denom.cpu()
    for k in {0, n // 2, n - 1} | set(range(0, n, 97)):
        want_n, want_d = documented_residues(x[k].item())
        assert num[:, k].tolist() == residues(want_n) and den[:, k].tolist() == residues(want_d)
    assert values(r) == [Fraction(v) for v in x.tolist()]


@pytest.mark.parametrize("dtype", [torch.int64, torch.uint64])
def test_integers_of_62_bits_and_more_among_small_ones(dev, dtype):
    # Blocks of small values take the vectorised rows; one wide value anywhere in a block sends
    # that block to the wide reduction.
    top = 2**63 - 1 if dtype == torch.int64 else 2**64 - 1
    vals = [(i * 7919) % 1000 - (0 if dtype == torch.uint64 else 500) for i in range(700)]
    for k, v in [(3, top), (300, 2**62), (301, 2**62 - 1), (699, top - 5)]:
        vals[k] = v
    r = MT.from_tensor(torch.tensor(vals, dtype=dtype), dev)
    assert values(r) == [Fraction(v) for v in vals]
    assert r.num[:, 3].tolist() == residues(top) and r.denom[:, 3].tolist() == [1] * 20


def test_non_contiguous_input(dev):
    base = torch.arange(12, dtype=torch.float64).view(3, 4) / 8
    x = base.t()
    assert values(MT.from_tensor(x, dev)) == [Fraction(v) for v in x.reshape(-1).tolist()]


@pytest.mark.parametrize("bad, error, text", [
    (float("inf"), OverflowError, "cannot convert Infinity to integer ratio"),
    (float("-inf"), OverflowError, "cannot convert Infinity to integer ratio"),
    (float("nan"), ValueError, "cannot convert NaN to integer ratio"),
    (1e300, OverflowError, "exceeds the exact range"),
    (5e-324, OverflowError, "exceeds the exact range"),
    (3 * 2.0**-700, OverflowError, "exceeds the exact range"),
])
def test_values_that_cannot_be_held(dev, bad, error, text):
    with pytest.raises(error, match=text):
        MT.from_tensor(torch.tensor([1.0, bad], dtype=torch.float64), dev)


def test_range_edges(dev):
    x = torch.tensor([2.0**-600, 3 * 2.0**-610, 2.0**-566, 2.0**618, -(2.0**600) * 1.5], dtype=torch.float64)
    r = MT.from_tensor(x, dev)
    assert values(r) == [Fraction(v) for v in x.tolist()]
    assert r.denom[:, 0].tolist() == residues(2**600)  # held in lowest terms
    assert r.denom[:, 2].tolist() == residues(2**618)  # still the documented form


finite = st.floats(allow_nan=False, allow_infinity=False, width=64).filter(
    lambda v: v == 0 or 2.0**-566 <= abs(v) <= 2.0**600)


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.lists(finite, min_size=1, max_size=20))
def test_round_trip(dev, xs):
    x = torch.tensor(xs, dtype=torch.float64)
    r = MT.from_tensor(x, dev)
    assert values(r) == [Fraction(v) for v in xs]
    assert torch.equal(r.to_float().cpu(), x.float())


def test_to_float_scalar_shapes_and_values(dev):
    third = MT.from_fraction(1, 3, (), dev).to_float()
    assert third.shape == (1,) and third.dtype == torch.float32 and third.item() == pytest.approx(0.33333334)
    assert MT.from_int(-5, (2, 3), dev).to_float().tolist() == [[-5.0] * 3] * 2
    assert MT.from_fraction(-7, 2, (1,), dev).to_float().tolist() == [-3.5]
    r = MT.from_fraction(1, 3, (2,), dev)
    r._approx = torch.tensor([9.0, 9.0], device=dev)
    assert r.to_float().tolist() == [f32(Fraction(1, 3))] * 2


def test_zero_denominators(dev):
    z = MT.from_int(0, (), dev)
    x = MT.from_tensor(torch.tensor([2.0, -3.0, 0.0]), dev) / z
    f = x.to_float()
    assert f[0].item() == math.inf and f[1].item() == -math.inf and math.isnan(f[2].item())


@pytest.mark.parametrize("num, den", [
    (2**24 + 1, 1), (2**24 + 3, 1), (3 * 2**200 + 1, 2**200), (1, 3), (-(10**40) - 1, 10**20),
    (2**128 - 2**103, 1), (2**128 - 2**103 - 1, 1), (2**128, 1), (2**300, 3), (1, 2**149), (1, 2**150),
    (3, 2**151), (2**600 + 1, 2**500 + 7), (2**53 + 1, 2**53 - 1), (10**30 + 1, 10**30),
])
def test_to_float_is_correctly_rounded(dev, num, den):
    for sign in (1, -1):
        fr = Fraction(sign * num, den)
        got = MT.from_fraction(fr.numerator, fr.denominator, (), dev).to_float().item()
        assert got == f32(fr)


# n / 2^e with both of at most 122 bits, the two-word path float-derived records take: ties
# and near-ties at 24 bits from numerators the double holds exactly and from wider ones.
DYADIC_TIES = [(2**24 + 1, 1), (2**24 + 3, 2**3), ((2**24 + 1) << 60, 2**60), (((2**24 + 1) << 60) + 1, 2**60),
               ((2**24 + 3) << 90, 2**100), (((2**24 + 1) << 97) - 1, 2**121), (2**53 + 1, 2**3),
               ((2**24 + 1) << 29, 2**29), (((2**24 + 1) << 29) + 1, 2**29), (3, 2**121), (2**122 - 1, 1),
               ((2**24 - 1) << 98, 2**64), (-(2**80 + 2**56), 2**57), (2**70 + 1, -(2**12))]


def test_to_float_of_dyadic_values_rounds_every_tie(dev):
    num = torch.tensor([residues(n) for n, _ in DYADIC_TIES]).T.contiguous()
    den = torch.tensor([residues(d) for _, d in DYADIC_TIES]).T.contiguous()
    got = MT(num.to(dev), den.to(dev)).to_float().tolist()
    assert got == [f32(Fraction(n, d)) for n, d in DYADIC_TIES]


@pytest.mark.parametrize("bits", [28, 58, 90, 121])
def test_to_float_across_blocks_of_elements(dev, bits):
    # Long enough for several blocks of the vectorised reconstruction and a ragged tail; the
    # widths take each count of residues the two-word path has for numerator and denominator.
    rng = random.Random(bits)
    pairs = [(rng.choice((-1, 1)) * rng.getrandbits(bits), 2 ** rng.randrange(bits)) for _ in range(700)]
    num = torch.tensor([residues(n) for n, _ in pairs]).T.contiguous()
    den = torch.tensor([residues(d) for _, d in pairs]).T.contiguous()
    got = MT(num.to(dev), den.to(dev)).to_float().tolist()
    assert got == [f32(Fraction(n, d)) for n, d in pairs]


def test_to_float_after_arithmetic_and_on_raw_residues(dev):
    x = torch.tensor([0.1, -2.5, 3e-5, 7.0], dtype=torch.float64)
    r = MT.from_tensor(x, dev)
    y = r * r + r / 3
    exact = [Fraction(v) ** 2 + Fraction(v) / 3 for v in x.tolist()]
    assert y.to_float().tolist() == [f32(e) for e in exact]
    raw = MT(y.num.clone(), y.denom.clone())  # no bound known: measured first
    assert raw.to_float().tolist() == [f32(e) for e in exact]


def ingest_and_read_back():
    x = torch.tensor([0.1, -2.0**-300, 2.0**300, -0.0, 3.0, 2.0**-200, 7e-70], dtype=torch.float64)
    ints = torch.tensor([0, 1, -1, 2**53 + 1, -(2**63), 2**62 + 7, -12345])
    out = {}
    for name, t in [("x", x), ("ints", ints), ("f16", x[[0, 3, 4]].half()), ("bool", torch.tensor([True, False]))]:
        r = MT.from_tensor(t, "cpu")
        s = r * r - r
        out[name] = [r.num.tolist(), r.denom.tolist(), s.num.tolist(), s.denom.tolist(), r.to_float().tolist()]
    errors = []
    for bad in [float("nan"), float("inf"), 1e300, 5e-324]:
        with pytest.raises((ValueError, OverflowError)) as info:
            MT.from_tensor(torch.tensor([1.0, bad], dtype=torch.float64), "cpu")
        errors.append([info.type.__name__, str(info.value)])
    out["errors"] = errors
    return out


def test_generic_kernels_agree_with_the_cpu_kernels():
    """The ATen formulas other devices run, forced onto the CPU, give the same residues."""
    runs = []
    for generic in (False, True):
        with generic_kernels(generic):
            runs.append(ingest_and_read_back())
    assert runs[0] == runs[1]
    assert [e[0] for e in runs[0]["errors"]] == ["ValueError", "OverflowError", "OverflowError", "OverflowError"]
