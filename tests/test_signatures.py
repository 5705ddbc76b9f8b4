"""Every public callable has the signature inspect, help() and IDEs show."""
import inspect
import pydoc

import pytest
import torch

from conftest import MT, mc


@pytest.mark.parametrize("obj, text", [
    (MT, "(num, denom, primes=None, approx=None)"),
    (MT.from_fraction, "(num, denom=1, shape=(), device='cuda')"),
    (MT.from_int, "(value, shape=(), device='cuda')"),
    (MT.zeros, "(shape, device='cuda')"),
    (MT.from_tensor, "(x, device='cuda')"),
    (MT.sort, "(self, /, dim=-1, descending=False)"),
    (MT.topk, "(self, /, k, dim=-1, largest=True)"),
    (MT.clamp, "(self, /, min_val=None, max_val=None)"),
    (MT.flatten, "(self, /, start_dim=0, end_dim=-1)"),
    (MT.reshape, "(self, /, *shape)"),
    (MT.sum, "(self, /, dim=None)"),
    (MT.to_rational, "(self, /)"),
    (MT.__add__, "(self, /, other)"),
    (mc.sqrt_newton, "(a, max_iterations=10, max_bits=500)"),
    (mc.log1p_taylor, "(x, terms=30)"),
    (mc.sqrt_taylor, "(a, terms=30)"),
    (mc.modular_clamp, "(x, min_val=None, max_val=None)"),
    (mc.modular_pow, "(x, n)"),
    (mc.modular_dot, "(a, b)"),
    (mc._ieee754_decompose, "(x)"),
])
def test_documented_signature(obj, text):
    assert str(inspect.signature(obj)) == text


def test_bound_methods_drop_self():
    x = MT.from_int(1, (3,), "cpu")
    assert str(inspect.signature(x.sort)) == "(dim=-1, descending=False)"
    assert str(inspect.signature(x.var)) == "(correction=1)"


def test_every_public_callable_has_a_signature():
    # pybind11's own cross-module hook is no part of the interface.
    names = [n for n, v in vars(MT).items() if callable(v) and n not in ("__hash__", "_pybind11_conduit_v1_")]
    assert len(names) > 60
    for name in names:
        inspect.signature(getattr(MT, name))
    for name in mc.__all__[3:] + ["_ieee754_decompose"]:
        inspect.signature(getattr(mc, name))


def test_signature_defaults_are_the_defaults_used():
    # The signature and the parser come from one table: calling with the shown defaults
    # spelled out gives what leaving them out gives.
    x = MT.from_tensor(torch.tensor([3.0, -1.0, 2.0]), "cpu")
    for method in ("sort", "argsort", "topk", "clamp", "flatten", "cumsum", "norm", "var"):
        sig = inspect.signature(getattr(MT, method))
        required = [p for p in list(sig.parameters.values())[1:] if p.default is p.empty]
        given = {p.name: 1 for p in required}
        full = dict(given, **{p.name: p.default for p in list(sig.parameters.values())[1:]
                              if p.default is not p.empty})
        a, b = getattr(x, method)(**given), getattr(x, method)(**full)
        a, b = (a[0], b[0]) if isinstance(a, tuple) else (a, b)
        if isinstance(a, MT):
            assert torch.equal(a.num, b.num) and torch.equal(a.denom, b.denom), method
        else:
            assert torch.equal(a, b), method


def test_help_shows_signatures_and_documented_docstrings():
    text = pydoc.render_doc(MT, renderer=pydoc.plaintext)
    assert "from_fraction(num, denom=1, shape=(), device='cuda')" in text
    assert "sort(self, /, dim=-1, descending=False)" in text
    assert MT.__doc__.startswith("GPU tensor with exact modular arithmetic.")
    assert MT.__init__.__doc__.startswith("Initialize from residue tensors.")
    assert MT.sort.__doc__ == "Sort elements along dimension. Returns (sorted_tensor, indices)."
    assert MT.__radd__.__doc__ is None


def test_constructor_is_an_ordinary_init():
    num, den = torch.zeros(20, dtype=torch.int64), torch.ones(20, dtype=torch.int64)

    class Named(MT):
        def __init__(self, num, denom, name):
            super().__init__(num, denom)
            self.name = name

    y = Named(num, den, "z")
    assert y.name == "z" and y.to_rational() == (0, 1)
    x = MT(num=num, denom=den)
    x.__init__(den, den)
    assert x.to_rational() == (1, 1)
    with pytest.raises(TypeError, match=r"__init__\(\) takes at least 3 positional arguments \(2 given\)"):
        MT(num)
    with pytest.raises(TypeError, match="unexpected keyword argument 'nums'"):
        MT(nums=num, denom=den)
