"""The module functions, the export list and the docstrings users read with help()."""
import pytest
import torch

from conftest import MT, mc, value, values

EXPORTS = ["PRIMES", "N_PRIMES", "ModularTensor", "modular_sum", "modular_dot", "modular_abs", "modular_max",
           "modular_min", "modular_argmax", "modular_argmin", "modular_relu", "modular_clamp", "modular_var",
           "modular_std", "modular_norm", "modular_prod", "modular_pow", "modular_sign", "modular_reciprocal",
           "modular_square", "exp_taylor", "sin_taylor", "cos_taylor", "log1p_taylor", "sqrt_taylor", "sqrt_newton"]


def test_export_list_and_attributes():
    assert mc.__all__ == EXPORTS
    assert all(hasattr(mc, n) for n in EXPORTS) and hasattr(mc, "_ieee754_decompose")
    assert mc.N_PRIMES == 20 and mc.PRIMES.dtype == torch.int64
    assert mc.__doc__.startswith("ModularRational CUDA - TRUE ZERO Error on GPU")


@pytest.fixture
def rec(dev):
    """A fresh three-element record on the test's device at each call."""
    return lambda: MT.from_tensor(torch.tensor([3.0, -4.0, 1.5]), dev)


@pytest.mark.parametrize("fn, method, args", [
    ("modular_abs", "abs", ()), ("modular_max", "max", ()), ("modular_min", "min", ()),
    ("modular_relu", "relu", ()), ("modular_prod", "prod", ()), ("modular_sign", "sign", ()),
    ("modular_reciprocal", "reciprocal", ()), ("modular_square", "square", ()),
    ("modular_var", "var", (1,)), ("modular_norm", "norm", (2,)), ("modular_pow", "pow", (3,)),
])
def test_forwards_give_the_method_results(rec, fn, method, args):
    got = getattr(mc, fn)(rec(), *args)
    want = getattr(rec(), method)(*args)
    if isinstance(want, MT):
        assert values(got) == values(want)
    else:
        assert torch.equal(got, want)


def test_argument_coercion_and_messages(rec):
    x = rec()
    assert values(mc.modular_pow(x, 2.0)) == values(x.pow(2)) and mc.modular_pow(x, True) is x
    assert values(mc.modular_clamp(x)) == values(x) and values(mc.modular_clamp(x, 0)) == values(x.clamp(0.0, None))
    assert mc.modular_argmax(x) == 0 and mc.modular_argmin(x) == 1 and isinstance(mc.modular_argmax(x), int)
    assert value(mc.modular_var(x)) == value(x.var(1)) and value(mc.modular_var(x=x, correction=0)) == value(x.var(0))
    with pytest.raises(TypeError, match=r"modular_square\(\) takes exactly 1 positional argument \(2 given\)"):
        mc.modular_square(x, 1)
    with pytest.raises(TypeError, match=r"Argument 'n' has incorrect type \(expected int, got str\)"):
        mc.modular_pow(x, "2")
    with pytest.raises(TypeError, match=r"Argument 'min_val' has incorrect type \(expected float, got str\)"):
        mc.modular_clamp(x, "0")
    with pytest.raises(TypeError, match="modular_pow\\(\\) takes exactly 2 positional arguments \\(1 given\\)"):
        mc.modular_pow(x)


@pytest.mark.skipif(not torch.cuda.is_available(), reason="converts on the default device, CUDA")
def test_sum_and_dot_of_plain_tensors():
    t = torch.tensor([0.1, 0.2, 0.3], dtype=torch.float64)
    assert value(mc.modular_sum(t)) == sum(map(__import__("fractions").Fraction, t.tolist()))
    assert mc.modular_dot(t, t).shape == (1,)


def test_docstrings_are_present():
    for name in EXPORTS[3:]:
        assert getattr(mc, name).__doc__, name
    for member in ["sum", "matmul", "det", "solve", "from_tensor", "to_float", "sort", "clamp", "var", "pow",
                   "transpose", "index_select", "cumsum", "where"]:
        assert getattr(MT, member).__doc__, member


@pytest.mark.parametrize("name, most", [
    ("modular_sum", 1), ("modular_dot", 2), ("modular_abs", 1), ("modular_max", 1), ("modular_min", 1),
    ("modular_argmax", 1), ("modular_argmin", 1), ("modular_relu", 1), ("modular_clamp", 3), ("modular_var", 2),
    ("modular_std", 2), ("modular_norm", 2), ("modular_prod", 1), ("modular_pow", 2), ("modular_sign", 1),
    ("modular_reciprocal", 1), ("modular_square", 1), ("exp_taylor", 2), ("sin_taylor", 2), ("cos_taylor", 2),
    ("log1p_taylor", 2), ("sqrt_taylor", 2), ("sqrt_newton", 3),
])
def test_every_function_counts_its_arguments(rec, name, most):
    with pytest.raises(TypeError, match=rf"{name}\(\) takes (exactly|at most) {most} positional argument"):
        getattr(mc, name)(*([rec()] * (most + 1)))
    least = 2 if name in ("modular_dot", "modular_pow") else 1
    with pytest.raises(TypeError, match=rf"{name}\(\) takes (exactly|at least) {least} positional argument"):
        getattr(mc, name)()
    with pytest.raises(TypeError, match="unexpected keyword argument 'bogus'"):
        getattr(mc, name)(rec(), bogus=1)
