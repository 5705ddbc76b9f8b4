"""Exact equality on cross products."""
import pytest
import torch

from conftest import MT


def test_unreduced_equal_reduced(frac):
    q = frac(1, 4) + frac(1, 4)
    assert bool(q == frac(1, 2)) and bool(frac(2, 3) * frac(3, 2) == 1)
    x = frac(0, 5, (2, 2))
    assert (x == x).all() and (x == 0.5).all()


def test_result_types_and_shapes(frac):
    r = frac(3) == 3
    assert r.dtype == torch.bool and r.shape == ()
    assert (2 == frac(2)).item() is True
    x, y = frac(1, 2, (2, 3)), frac(1, 2, (1, 3))
    assert (x == y).shape == (2, 3)
    assert (x == frac(1, 2, (3,))).shape == (2, 3)
    assert torch.equal(x.ne(y), ~(x == y))
    with pytest.raises(RuntimeError):
        x == frac(1, 2, (2,))
    with pytest.raises(RuntimeError):
        x != y
    with pytest.raises(AttributeError):
        x == None  # noqa: E711


def test_zero_denominators(frac):
    z = frac(0)
    nan = z / z
    inf = frac(1) / z
    assert not bool(nan == nan) and not bool(nan == z) and not bool(z == nan)
    assert bool(inf == frac(5) / z) and not bool(inf == frac(1))


def test_equality_beyond_congruence_range_is_exact(dev):
    # Cross products of 2^600/2^600 and 1/1 are about 2^600 and fit; 2^610/3 against a value
    # that differs by a multiple of M only in the cross product must not compare equal.
    a = MT.from_fraction(2**610, 3, (), dev)
    b = MT.from_fraction(1, 2**300, (), dev) * MT.from_fraction(1, 2**300, (), dev)
    assert not bool(a == b)
    c = MT.from_fraction(2**610, 2**610, (), dev)
    assert bool(c == MT.from_fraction(2**600, 2**600, (), dev))
