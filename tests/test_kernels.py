"""The element-wise field kernels on each device they are built for, against PyTorch's `%`."""
import os

import pytest
import torch

from conftest import MT, PRIMES, both_kernel_modes, generic_kernels
from korvex.vla import modular_cuda as mc

OPS = {"+": lambda a, b: a + b, "-": lambda a, b: a - b, "*": lambda a, b: a * b, "/": lambda a, b: a / b}
# (shape of a, shape of b): equal shapes, and one-element operands stretched over the other.
LAYOUTS = [pytest.param((5003,), (5003,), id="same-shape"), pytest.param((), (5003,), id="scalar-a"),
           pytest.param((37,), (), id="scalar-b"), pytest.param((1,), (37,), id="one-element-a"),
           pytest.param((), (), id="both-scalar")]


def expected_residues(op, an, ad, bn, bd):
    p = torch.tensor(PRIMES).view(20, 1)
    return {"+": ((an * bd % p + ad * bn % p) % p, (ad * bd) % p),
            "-": ((an * bd % p - ad * bn % p) % p, (ad * bd) % p),
            "*": ((an * bn) % p, (ad * bd) % p), "/": ((an * bd) % p, (ad * bn) % p)}[op]


def random_residues(shape, generator):
    # Integers of up to 62 bits keep every product inside the exact range, so the operation
    # runs in the residue kernels rather than on the host; -1 and 1 give the residues p-1 and
    # 1, where a Barrett estimate that is off by one shows.
    ints = torch.randint(-(2**62), 2**62, (1, *shape), generator=generator)
    flat = ints.view(1, -1)
    flat[0, 0] = -1
    if flat.shape[1] > 1:
        flat[0, 1] = 1
    return ints % torch.tensor(PRIMES).view(20, *[1] * len(shape))


def test_cuda_kernels_built_exactly_for_cuda_torch():
    assert mc._built_with_cuda == (torch.version.cuda is not None)


@pytest.mark.parametrize("sa,sb", LAYOUTS)
@pytest.mark.parametrize("op", OPS)
def test_field_kernels_equal_pytorch_remainder(dev, sa, sb, op):
    device = dev
    g = torch.Generator().manual_seed(len(sa) * 10 + len(sb))
    an, ad = random_residues(sa, g), random_residues(sa, g)
    bn, bd = random_residues(sb, g), random_residues(sb, g)
    out = OPS[op](MT(an.to(device), ad.to(device)), MT(bn.to(device), bd.to(device)))
    shape = torch.broadcast_shapes(sa, sb)
    want = [w.view(20, *shape) for w in expected_residues(op, an.reshape(20, -1), ad.reshape(20, -1),
                                                          bn.reshape(20, -1), bd.reshape(20, -1))]
    assert out.num.device.type == device and out.denom.device.type == device
    assert torch.equal(out.num.cpu(), want[0]) and torch.equal(out.denom.cpu(), want[1])


@pytest.mark.parametrize("op", ["+", "-"])
def test_cross_terms_at_their_largest(dev, op):
    # a*d + b*c summed before one reduction peaks at 2(p-1)^2; zeros and ones beside it.
    corners = [0, 1, -1, -2]
    grid = torch.tensor([[v, w, x, y] for v in corners for w in corners for x in corners for y in corners]).T
    p = torch.tensor(PRIMES).view(20, 1)
    an, ad, bn, bd = (grid[i].view(1, -1) % p for i in range(4))
    out = OPS[op](MT(an.to(dev), ad.to(dev)), MT(bn.to(dev), bd.to(dev)))
    want = expected_residues(op, an, ad, bn, bd)
    assert torch.equal(out.num.cpu(), want[0]) and torch.equal(out.denom.cpu(), want[1])


@pytest.mark.skipif(not torch.cuda.is_available(), reason="no GPU")
def test_cuda_kernel_runs_on_the_current_stream():
    a = MT.from_fraction(3, 7, (1 << 20,), "cuda")
    b = MT.from_fraction(-5, 11, (1 << 20,), "cuda")
    s = torch.cuda.Stream()
    with torch.cuda.stream(s):
        # Queued behind a long kernel on s: read too early, the residues would still be garbage.
        torch.cuda._sleep(10**8)
        r = a * b + a
    s.synchronize()
    x, y = MT.from_fraction(3, 7, (1,), "cpu"), MT.from_fraction(-5, 11, (1,), "cpu")
    want = x * y + x
    assert torch.equal(r.num.cpu(), want.num.expand(20, 1 << 20))
    assert torch.equal(r.denom.cpu(), want.denom.expand(20, 1 << 20))


def random_record(n, generator):
    p = torch.tensor(PRIMES).view(20, 1)
    return MT(torch.randint(-2**62, 2**62, (1, n), generator=generator) % p,
              torch.randint(1, 2**62, (1, n), generator=generator) % p)


def test_generic_field_formulas_agree_with_the_cpu_kernels():
    """Devices without a launcher of their own run the ATen formulas; they give the same residues."""
    g = torch.Generator().manual_seed(3)
    a, b, s = random_record(40000, g), random_record(40000, g), random_record(1, g)
    for x, y in ((a, b), (s, a), (a, s)):
        for op in OPS.values():
            with generic_kernels(False):
                fast = op(x, y)
            with generic_kernels(True):
                generic = op(x, y)
            assert torch.equal(fast.num, generic.num) and torch.equal(fast.denom, generic.denom)


# The environment variable still sets the switch's initial value, for whole-process runs.
SCRIPT = """
import json, torch
from korvex.vla import modular_cuda as mc
MT = mc.ModularTensor
g = torch.Generator().manual_seed(3)
p = mc.PRIMES.view(20, 1)
a = MT(torch.randint(-2**62, 2**62, (1, 999), generator=g) % p, torch.randint(1, 2**62, (1, 999), generator=g) % p)
r = a * a + a
print(json.dumps([mc._generic_kernels(), r.num.sum().item(), r.denom.sum().item()]))
"""


def test_environment_variable_sets_the_initial_kernel_mode():
    cpu, generic = both_kernel_modes(SCRIPT)
    assert cpu[0] is False and generic[0] is True
    assert cpu[1:] == generic[1:]


# The CPU kernels write into the library's own pooled host buffers (storage PyTorch cannot
# resize); the ATen formulas allocate through PyTorch. That difference shows which path ran.
POOLED = pytest.mark.skipif(os.environ.get("KORVEX_HOST_POOL_MB", "").strip() == "0", reason="host pool disabled")


def through_pytorch_allocator(t):
    return t.untyped_storage().resizable()


@POOLED
@pytest.mark.parametrize("generic", [False, True], ids=["kernels", "generic"])
def test_switch_picks_the_path_of_the_next_call(generic):
    x = torch.rand(10000, dtype=torch.float64, generator=torch.Generator().manual_seed(0))
    with generic_kernels(generic):
        assert mc._generic_kernels() is generic
        r = MT.from_tensor(x, "cpu")
        p = r * r
    assert through_pytorch_allocator(r.num) is generic and through_pytorch_allocator(r.denom) is generic
    assert through_pytorch_allocator(p.num) is generic and through_pytorch_allocator(p.denom) is generic
    with generic_kernels(not generic):
        q = r * r
    assert through_pytorch_allocator(q.num) is (not generic)
    assert torch.equal(p.num, q.num) and torch.equal(p.denom, q.denom)


def test_switch_returns_and_restores_the_previous_mode():
    before = mc._generic_kernels()
    assert mc._set_generic_kernels(not before) is before
    assert mc._set_generic_kernels(before) is (not before)
    with generic_kernels(True):
        with generic_kernels(False):
            assert mc._generic_kernels() is False
        assert mc._generic_kernels() is True
    assert mc._generic_kernels() is before


def test_device_fixture_sets_the_kernel_mode(dev, request):
    assert mc._generic_kernels() is (request.node.callspec.params["dev"] == "cpu-generic")
