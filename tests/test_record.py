"""The record, its constructors, exact read-back and normalisation."""
import decimal

import pytest
import torch
from hypothesis import HealthCheck, given, settings, strategies as st

from conftest import HALF, M, MT, PRIMES, mc, residues


def test_module_constants():
    assert mc.N_PRIMES == 20
    assert mc.PRIMES.dtype == torch.int64
    assert int(mc.PRIMES[0]) == 2147483629 and int(mc.PRIMES[19]) == 2147483053
    assert M.bit_length() == 620
    assert mc.__all__[:3] == ["PRIMES", "N_PRIMES", "ModularTensor"]
    assert "ModularRational CUDA - TRUE ZERO Error on GPU" in mc.__doc__


def test_record_slots_and_repr():
    x = MT(torch.zeros(20, dtype=torch.int64), torch.ones(20, dtype=torch.int64))
    assert x.shape == torch.Size([]) and isinstance(x.shape, torch.Size)
    assert repr(x) == "ModularTensor(shape=torch.Size([]), device=cpu)"
    assert x.device == torch.device("cpu") and x._approx is None
    assert torch.equal(x.primes, mc.PRIMES)
    with pytest.raises(AttributeError):
        x.other = 1
    with pytest.raises(TypeError):
        hash(x)
    p = mc.PRIMES.clone()
    assert MT(x.num, x.denom, p).primes is p


def test_subclass_class_methods_build_subclass(dev):
    class Sub(MT):
        pass

    for make in (lambda: Sub.from_int(3, (), dev), lambda: Sub.zeros((2,), dev),
                 lambda: Sub.ones((2,), dev), lambda: Sub.from_fraction(1, 2, (), dev)):
        assert type(make()) is Sub
    assert Sub.from_int(3, (), dev).to_rational() == (3, 1)


@pytest.mark.parametrize("num,den,expected", [
    (3, 6, (1, 2)), (1, -2, (-1, 2)), (-4, -6, (2, 3)), (0, 5, (0, 1)), (True, 2, (1, 2)),
    (2.9, 1, (2, 1)), (-2.9, 1, (-2, 1)), (HALF, 1, (HALF, 1)), (-HALF, 1, (-HALF, 1)),
])
def test_from_fraction_round_trip(dev, num, den, expected):
    assert MT.from_fraction(num, den, (), dev).to_rational() == expected


def test_documented_residues_are_unreduced(dev):
    x = MT.from_fraction(3, 6, (2,), dev)
    assert x.num[:, 0].tolist() == residues(3) and x.denom[:, 1].tolist() == residues(6)
    assert MT.from_fraction(1, -2, (), dev).denom.tolist() == [p - 2 for p in PRIMES]
    assert MT.from_int(-1, (), dev).num.tolist() == [p - 1 for p in PRIMES]
    assert MT.from_int(2**100, (), dev).num.tolist() == residues(2**100)
    z = MT.zeros((), dev)
    assert z.num.shape == (20,) and z.num.eq(0).all() and z.denom.eq(1).all()
    o = MT.ones((2,), dev)
    assert o._approx.dtype == torch.float32 and o._approx.tolist() == [1.0, 1.0]


def test_beyond_the_range_reduced_or_refused(dev):
    assert MT.from_fraction(2**700, 2**699, (), dev).to_rational() == (2, 1)
    assert MT.from_fraction(3 * 2**700, -(2**701), (), dev).to_rational() == (-3, 2)
    with pytest.raises(OverflowError, match="exceeds the exact range"):
        MT.from_int(2**700, (), dev)
    with pytest.raises(OverflowError, match="exceeds the exact range"):
        MT.from_int(HALF + 1, (), dev)
    with pytest.raises(OverflowError):
        MT.from_fraction(1, 2**5000, (), dev)


def test_value_beyond_float32_gets_inf_hint(dev):
    x = MT.from_int(10**39, (), dev)
    assert torch.isinf(x._approx)
    assert x.simplify().to_rational() == (10**39, 1)


# Refused while the arguments are read, before any device is involved.
@pytest.mark.parametrize("call,message", [
    (lambda: MT.zeros([2, 3], "cpu"), "Argument 'shape' has incorrect type (expected tuple, got list)"),
    (lambda: MT.from_int(5, torch.Size([2]), "cpu"), "Argument 'shape' has incorrect type (expected tuple, got torch.Size)"),
    (lambda: MT.from_int(5, (), torch.device("cpu")), "Argument 'device' has incorrect type (expected str, got torch.device)"),
    (lambda: MT.from_fraction("1", 2, (), "cpu"), "Argument 'num' has incorrect type (expected int, got str)"),
    (lambda: MT.from_fraction(1, None, (), "cpu"), "Argument 'denom' has incorrect type (expected int, got NoneType)"),
    (lambda: MT.from_int(), "from_int() takes at least 1 positional argument (0 given)"),
    (lambda: MT.zeros((), "cpu", 3), "zeros() takes at most 2 positional arguments (3 given)"),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as e:
        call()
    assert str(e.value) == message


def test_zero_denominator_refused_by_from_fraction(dev):
    with pytest.raises(ZeroDivisionError):
        MT.from_fraction(1, 0, (), dev)


def test_keywords_accepted(dev):
    x = MT.from_fraction(num=1, denom=3, shape=(2,), device=dev)
    assert x.shape == (2,) and MT.from_int(value=4, device=dev).to_rational() == (4, 1)


def test_to_rational_shapes_and_zero_denominators(dev):
    assert MT.from_int(7, (1,), dev).to_rational() == (7, 1)
    for shape in [(2,), (1, 1)]:
        with pytest.raises(ValueError, match="only works for scalar tensors"):
            MT.from_int(7, shape, dev).to_rational()
    z = MT.zeros((), dev)
    assert (MT.from_int(-3, (), dev) / z).to_rational() == (-1, 0)
    assert (z / z).to_rational() == (0, 0)
    assert MT.from_int((M + 1) // 2 - M, (), dev).to_rational() == (-HALF, 1)


def test_to_decimal_sets_precision(dev):
    decimal.getcontext().prec = 28
    d = MT.from_fraction(1, 3, (), dev).to_decimal()
    assert str(d) == "0." + "3" * 100 and decimal.getcontext().prec == 100


def test_simplify(dev):
    x = MT.from_fraction(2, 1, (), dev) * MT.from_fraction(3, 4, (), dev)
    s = x.simplify()
    assert s.num.tolist() == residues(3) and s.denom.tolist() == residues(2)
    assert s.shape == () and s._approx.dtype == torch.float32
    assert MT.from_fraction(6, 4, (1,), dev).simplify().shape == (1,)
    for shape in [(2,), (1, 1)]:
        y = MT.from_int(1, shape, dev)
        assert y.simplify() is y
    z = MT.zeros((), dev)
    for w in (MT.from_int(1, (), dev) / z, z / z):
        assert w.simplify() is w


def test_raw_residues_validated_on_first_use(dev):
    bad = MT(torch.full((20,), -1, dtype=torch.int64, device=dev), torch.ones(20, dtype=torch.int64, device=dev))
    with pytest.raises(ValueError):
        bad + 1


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.integers(-HALF, HALF), st.integers(-HALF, HALF).filter(lambda d: d != 0))
def test_round_trip_property(dev, n, d):
    from fractions import Fraction
    f = Fraction(n, d)
    assert MT.from_fraction(n, d, (), dev).to_rational() == (f.numerator, f.denominator)


# Small results live in buffers of the library's own host allocator: they must still be
# ordinary tensors to everything PyTorch does with a tensor's storage.
@pytest.mark.parametrize("make", [
    lambda: MT.from_fraction(3, 7, (), "cpu") + MT.from_fraction(5, 11, (), "cpu"),
    lambda: MT.from_fraction(2, 3, (2,), "cpu") * MT.from_fraction(5, 1, (2,), "cpu"),
    lambda: MT.from_tensor(torch.eye(3, dtype=torch.float64), "cpu").det(),
])
def test_small_results_are_ordinary_tensors(make):
    import io
    r = make()
    buf = io.BytesIO()
    torch.save((r.num, r.denom, r._approx), buf)
    buf.seek(0)
    n, d, a = torch.load(buf)
    assert torch.equal(n, r.num) and torch.equal(d, r.denom) and torch.equal(a, r._approx)
    shared = r.denom.clone().share_memory_()
    assert shared.is_shared() and torch.equal(shared, r.denom)
    want = r.num.clone()
    grown = r.num.resize_(20, 300)  # the record's own buffer, reallocated larger
    grown[:, -1] = 7
    assert torch.equal(grown.reshape(-1)[: want.numel()], want.reshape(-1))
    assert grown.numpy()[:, -1].tolist() == [7] * 20
