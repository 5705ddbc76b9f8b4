"""Series, the Newton square root, norms and statistics, against Fraction."""
import math
from fractions import Fraction as F

import pytest
import torch

from conftest import MT, mc, value, values


@pytest.fixture
def s(dev):
    """A scalar record on the test's device."""
    return lambda num, den=1: MT.from_fraction(num, den, (), dev)


@pytest.mark.parametrize("fn, x, terms, expected", [
    (mc.exp_taylor, (0,), 20, F(1)), (mc.exp_taylor, (1,), 3, F(5, 2)), (mc.exp_taylor, (7, 3), 1, F(1)),
    (mc.sin_taylor, (1,), 2, F(5, 6)), (mc.sin_taylor, (2, 5), 1, F(2, 5)), (mc.sin_taylor, (1,), 0, F(0)),
    (mc.cos_taylor, (1,), 3, F(13, 24)), (mc.cos_taylor, (3,), 1, F(1)),
    (mc.log1p_taylor, (1, 2), 2, F(3, 8)), (mc.log1p_taylor, (1, 2), 0, F(0)),
    (mc.sqrt_taylor, (1,), 30, F(1)), (mc.sqrt_taylor, (5, 4), 3, F(143, 128)), (mc.exp_taylor, (1,), 3.9, F(5, 2)),
])
def test_series_worked_values(s, fn, x, terms, expected):
    r = fn(s(*x), terms=terms)
    assert r.shape == () and value(r) == expected


def series(name, x, terms):
    if name == "exp":
        return sum(x**n / math.factorial(n) for n in range(terms))
    if name == "sin":
        return sum((-1) ** n * x ** (2 * n + 1) / math.factorial(2 * n + 1) for n in range(terms))
    if name == "cos":
        return sum((-1) ** n * x ** (2 * n) / math.factorial(2 * n) for n in range(terms))
    if name == "log1p":
        return sum(F((-1) ** (n + 1), n) * x**n for n in range(1, terms + 1))
    c, total = F(1), F(0)
    for n in range(terms):
        total += c * (x - 1) ** n
        c *= F(1, 2) - n
        c /= n + 1
    return total


@pytest.mark.parametrize("name", ["exp", "sin", "cos", "log1p", "sqrt"])
def test_series_on_vectors_are_exact_element_by_element(dev, name):
    xs = [0.5, -0.25, 0.75] if name != "sqrt" else [1.25, 0.5, 1.0]
    vec = MT.from_tensor(torch.tensor(xs, dtype=torch.float64).view(3, 1), dev)
    r = getattr(mc, f"{name}_taylor")(vec, terms=8)
    assert r.shape == (3, 1) and values(r) == [series(name, F(x), 8) for x in xs]


def test_exp_of_one_to_eighty_digits_and_argument_errors(s):
    e = mc.exp_taylor(s(1), terms=60).to_decimal()
    assert str(e)[:82] == "2.71828182845904523536028747135266249775724709369995957496696762772407663035354759"
    with pytest.raises(TypeError, match=r"Argument 'terms' has incorrect type \(expected int, got str\)"):
        mc.exp_taylor(s(1), "3")
    with pytest.raises(TypeError, match=r"exp_taylor\(\) takes at most 2 positional arguments \(3 given\)"):
        mc.exp_taylor(s(1), 3, 4)


def test_sqrt_newton_iterates(s):
    r2 = value(mc.sqrt_newton(s(2)))
    x0 = F(round(math.sqrt(2) * 2**30), 2**30)
    x = x0
    for _ in range(3):
        x = (x + 2 / x) / 2
    assert r2 == x and abs(r2 * r2 - 2) < F(1, 10**90)
    assert value(mc.sqrt_newton(s(25))) == 5 and value(mc.sqrt_newton(s(4))) == 2
    start = mc.sqrt_newton(s(2), max_iterations=0)
    assert start.shape == () and value(start) == x0
    assert value(mc.sqrt_newton(s(2), 10, 0)) == x0
    assert value(mc.sqrt_newton(s(2), 3.0)) == x


@pytest.mark.parametrize("bad", [lambda s: s(0), lambda s: s(-1), lambda s: s(1) / s(0)], ids=["0", "-1", "1/0"])
def test_sqrt_newton_refuses_non_positive(s, bad):
    with pytest.raises(ValueError, match="sqrt requires positive value"):
        mc.sqrt_newton(bad(s))


def test_sqrt_newton_argument_errors(s):
    with pytest.raises(TypeError, match="Argument 'max_iterations' has incorrect type"):
        mc.sqrt_newton(s(2), "3")


def test_norms_and_statistics(dev):
    v = MT.from_tensor(torch.tensor([1.0, 2.0, 3.0, 4.0]), dev)
    assert value(v.var()) == F(5, 3) and value(v.var(0)) == F(5, 4)
    assert value(MT.from_tensor(torch.arange(6.0).view(2, 3), dev).var()) == F(7, 2)
    assert value(MT.from_tensor(torch.tensor([3.0, 4.0]), dev).norm()) == 5
    assert value(MT.from_tensor(torch.tensor([3.0, 4.0]), dev).norm(2.0)) == 5
    assert value(MT.from_tensor(torch.tensor([-1.0, 2.0]), dev).norm(1)) == 3
    with pytest.raises(ValueError, match="Only L1 and L2 norms supported"):
        v.norm(3)
    assert value(MT.from_int(3, (4,), dev).std()) == 0
    with pytest.raises(ZeroDivisionError):
        v.var(4)
    sd = value(v.std())
    assert abs(sd * sd - F(5, 3)) < F(1, 10**60)
    draws = torch.randn(1000, dtype=torch.float64, generator=torch.Generator().manual_seed(0))
    big = MT.from_tensor(draws, dev)
    xs = [F(x) for x in draws.tolist()]
    mean = sum(xs) / 1000
    assert value(big.var(0)) == sum((x - mean) ** 2 for x in xs) / 1000
