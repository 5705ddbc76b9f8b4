"""Hostile and impossible input: errors instead of crashes, stale bounds or wrong values."""
import gc
import math
import os
import signal
import time
from fractions import Fraction as F

import pytest
import torch

from conftest import HALF, MT, PRIMES, mc, residues, value


def raw(num_rows, den_rows, dev, primes=None):
    n = torch.tensor(num_rows, dtype=torch.long, device=dev)
    d = torch.tensor(den_rows, dtype=torch.long, device=dev)
    return MT(n, d) if primes is None else MT(n, d, primes.to(dev))


def is_probable_prime(n):
    if n % 2 == 0:
        return n == 2
    d, s = n - 1, 0
    while d % 2 == 0:
        d, s = d // 2, s + 1
    for a in (2, 3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37):
        x = pow(a, d, n)
        if x in (1, n - 1):
            continue
        for _ in range(s - 1):
            x = x * x % n
            if x == n - 1:
                break
        else:
            return False
    return True


def primes_above(start, count):
    out, n = [], start + 1
    while len(out) < count:
        if is_probable_prime(n):
            out.append(n)
        n += 1
    return out


# ---------------------------------------------------------------- impossible sizes

HUGE = (2**61 + 131088) // 20


@pytest.mark.parametrize("make", [
    lambda dev: MT.zeros((HUGE,), dev),
    lambda dev: MT.ones((10**12,), dev),
    lambda dev: MT.from_fraction(1, 3, (2**40, 2**40), dev),
    lambda dev: MT.zeros((2**70,), dev),
], ids=["count-times-8-wraps", "terabytes", "product-of-sizes", "beyond-int64"])
def test_impossible_sizes_raise_memory_error(dev, make):
    with pytest.raises(MemoryError):
        make(dev)


@pytest.mark.parametrize("use", [lambda x: x ** 0, lambda x: mc.exp_taylor(x, terms=0)], ids=["pow0", "exp0"])
def test_zero_stride_record_of_impossible_size(dev, use):
    x = MT(torch.zeros(20, 1, dtype=torch.long, device=dev).expand(20, HUGE),
           torch.ones(20, 1, dtype=torch.long, device=dev).expand(20, HUGE))
    with pytest.raises(MemoryError):
        use(x)


# ---------------------------------------------------------------- instances made by __new__

@pytest.mark.parametrize("use", [
    lambda x: x.shape, lambda x: x.num, lambda x: x.denom, lambda x: x.primes, lambda x: x.device,
    lambda x: x._approx, repr, lambda x: x + x, lambda x: x.sum(), lambda x: x.to_float(),
    lambda x: mc.exp_taylor(x), lambda x: x.reshape(1), lambda x: x == x, lambda x: x.to_rational(),
    lambda x: MT.ones((), "cpu") * x,  # refused before any device work
], ids=["shape", "num", "denom", "primes", "device", "approx", "repr", "add", "sum", "to_float", "exp", "reshape",
        "eq", "to_rational", "rmul"])
def test_unset_instance_raises_attribute_error(use):
    x = MT.__new__(MT)
    with pytest.raises(AttributeError, match="'ModularTensor' object has no attribute"):
        use(x)


def test_slots_assigned_after_new_make_a_working_record(dev):
    src = MT.from_fraction(3, 4, (2,), dev)
    x = MT.__new__(MT)
    with pytest.raises(AttributeError, match="'denom'"):
        x.num = src.num
        x + x
    x.denom, x.primes, x.device, x._approx = src.denom, src.primes, src.device, None
    assert value((x + x).sum()) == 3


# ---------------------------------------------------------------- fixed-width overflow

def test_cumsum_of_reciprocals_of_huge_primes_raises_cleanly(dev):
    a, b, c = primes_above(2**599, 3)
    parts = [MT.from_fraction(1, q, (), dev) for q in (a, b, c, 3)]
    vec = MT(torch.stack([p.num for p in parts], 1), torch.stack([p.denom for p in parts], 1))
    with pytest.raises(OverflowError, match="exceeds the exact range"):
        vec.cumsum()


def test_running_products_and_sums_past_capacity_raise(dev):
    big = MT.from_int(2**600 + 1, (4,), dev)
    with pytest.raises(OverflowError):
        big.prod()
    with pytest.raises(OverflowError):
        big.cumprod()
    parts = [MT.from_fraction(1, q, (), dev) for q in primes_above(2**299, 3)]
    vec = MT(torch.stack([p.num for p in parts], 1), torch.stack([p.denom for p in parts], 1))
    with pytest.raises(OverflowError):
        vec.sum()  # the denominator of the sum has about 900 bits


# ---------------------------------------------------------------- residues changed in place

def test_denominator_replaced_by_set_is_refused(dev):
    x = MT.from_int(3, (3,), dev)
    x.denom.set_(torch.ones(20, dtype=torch.long, device=dev))
    with pytest.raises(ValueError, match="shape"):
        x + x


def test_bound_is_measured_again_after_an_in_place_write(dev):
    v = 2**400 + 12345
    x = raw([[0]] * 20, [[1]] * 20, dev)
    assert value(x.sum()) == 0 and x.to_float().item() == 0
    x.num.copy_(torch.tensor(residues(v)).view(20, 1))
    assert value(x.sum()) == v
    assert x.to_float().item() == math.inf
    with pytest.raises(OverflowError):
        x * x  # 800 bits: the square is past the range


def test_write_through_a_view_invalidates_the_derived_records(dev):
    x = MT.from_int(2**200, (2,), dev)
    y = x.reshape(2, 1)
    x.num[:, 0] = torch.tensor(residues(2**400))
    with pytest.raises(OverflowError):
        y * y


def test_negative_residue_written_in_place_is_refused(dev):
    x = MT.from_int(3, (3,), dev)
    x.num[0, 0] = -5
    for use in (lambda: x * x, lambda: -x, lambda: x.sum(), lambda: x.to_float()):
        with pytest.raises(ValueError, match=r"\[0, p\)"):
            use()


def test_moduli_written_through_a_records_slot(dev):
    x = MT.from_int(3, (2,), dev)
    x.primes.add_(2)
    with pytest.raises(ValueError, match="moduli"):
        x + x
    # Records made afterwards are untouched by that write.
    y = MT.from_int(3, (2,), dev)
    assert value((y + y).sum()) == 12 and torch.equal(y.primes.cpu(), mc.PRIMES)


# ---------------------------------------------------------------- every reader validates

BAD = {
    "negative": lambda dev: raw([-1] * 20, [1] * 20, dev),
    "p_plus_5": lambda dev: MT((mc.PRIMES + 5).to(dev), torch.ones(20, dtype=torch.long, device=dev)),
    "foreign_moduli": lambda dev: raw([5] * 20, [1] * 20, dev, torch.arange(20) + 100),
}


@pytest.mark.parametrize("bad", BAD.values(), ids=BAD.keys())
@pytest.mark.parametrize("read", ["to_rational", "to_decimal", "simplify", "to_float", "sum", "__neg__",
                                  "reciprocal"])
def test_readers_refuse_invalid_residues(dev, bad, read):
    with pytest.raises(ValueError):
        getattr(bad(dev), read)()


def test_zero_dimensional_residue_tensors(dev):
    x = MT(torch.tensor(1, device=dev), torch.tensor(1, device=dev))
    assert x.shape == torch.Size([])
    with pytest.raises(ValueError):
        x + x


@pytest.mark.parametrize("entry,kind", [(2.5, "float"), ("a", "str"), (None, "NoneType")])
def test_bad_shape_entries_raise_type_error(dev, entry, kind):
    with pytest.raises(TypeError, match=kind):
        MT.zeros((entry,), dev)


def test_shape_entries_with_index_are_taken(dev):
    assert MT.zeros((torch.tensor(3), True), dev).shape == (3, 1)


# ---------------------------------------------------------------- square roots on the whole range

@pytest.mark.parametrize("a", [F(10**40), F(1, 10**46), F(2**600 + 1), F(1, 2**610), F(3, 7)])
def test_sqrt_newton_across_the_range(dev, a):
    x = value(mc.sqrt_newton(MT.from_fraction(a.numerator, a.denominator, (), dev)))
    assert abs(x * x - a) / a < F(1, 10**9)


@pytest.mark.parametrize("data,expect", [
    ([1e20, 1e20], 2 * F(1e20) ** 2), ([3e-30, 4e-30], F(3e-30) ** 2 + F(4e-30) ** 2), ([0.0, 0.0, 0.0], 0),
])
def test_norm_across_the_range(dev, data, expect):
    r = value(MT.from_tensor(torch.tensor(data, dtype=torch.float64), dev).norm())
    assert r * r == expect == 0 or abs(r * r - expect) / expect < F(1, 10**9)


@pytest.mark.parametrize("data", [[1e-25, 0.0], [1e25, -1e25], [7.0, 7.0, 7.0]])
def test_std_across_the_range(dev, data):
    xs = [F(v) for v in data]
    mean = sum(xs) / len(xs)
    var = sum((x - mean) ** 2 for x in xs) / (len(xs) - 1)
    r = value(MT.from_tensor(torch.tensor(data, dtype=torch.float64), dev).std())
    assert r == var == 0 or abs(r * r - var) / var < F(1, 10**9)


@pytest.mark.parametrize("a", [
    lambda dev: MT.zeros((), dev), lambda dev: MT.from_int(-4, (), dev), lambda dev: MT.from_fraction(-1, 2**600, (), dev),
    lambda dev: MT(torch.tensor(residues(1), device=dev), torch.zeros(20, dtype=torch.long, device=dev)),
], ids=["zero", "negative", "tiny-negative", "zero-denominator"])
def test_sqrt_newton_refuses_non_positive(dev, a):
    with pytest.raises(ValueError, match="sqrt requires positive value"):
        mc.sqrt_newton(a(dev))


def test_newton_stops_once_an_iterate_repeats(dev):
    start = time.perf_counter()
    assert value(mc.sqrt_newton(MT.from_int(4, (), dev), max_iterations=2**62)) == 2
    assert time.perf_counter() - start < 5


# ---------------------------------------------------------------- interruptible loops

class Interrupted(Exception):
    pass


@pytest.mark.parametrize("loop", [
    lambda dev: mc.log1p_taylor(MT.zeros((), dev), terms=2**62),
    lambda dev: mc.log1p_taylor(MT.zeros((3,), dev), terms=2**62),
], ids=["scalar", "vector"])
def test_long_series_stop_on_a_signal(dev, loop):
    def handler(signum, frame):
        raise Interrupted

    old = signal.signal(signal.SIGALRM, handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.3)
        start = time.perf_counter()
        with pytest.raises(Interrupted):
            loop(dev)
        assert time.perf_counter() - start < 3
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)


# ---------------------------------------------------------------- host memory is given back

def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the address sanitizer quarantines freed memory")
def test_freed_host_buffers_are_returned_to_the_system():
    a = MT.from_tensor(torch.rand(400_000, dtype=torch.float64), "cpu")
    before = rss_bytes()
    for _ in range(3):
        r = a * a + a
    del r
    gc.collect()
    held = rss_bytes() - before
    deadline = time.monotonic() + 5
    while rss_bytes() - before > 40e6 and time.monotonic() < deadline:
        time.sleep(0.2)
    assert rss_bytes() - before <= 40e6, (held, rss_bytes() - before)
