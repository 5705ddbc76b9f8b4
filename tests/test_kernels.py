"""The element-wise field kernels on each device they are built for, against PyTorch's `%`."""
import pytest
import torch

from conftest import MT, PRIMES, both_kernel_modes
from korvex.vla import modular_cuda as mc

OPS = {"+": lambda a, b: a + b, "-": lambda a, b: a - b, "*": lambda a, b: a * b, "/": lambda a, b: a / b}
DEVICES = ["cpu", pytest.param("cuda", marks=pytest.mark.skipif(not torch.cuda.is_available(), reason="no GPU"))]
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


@pytest.mark.parametrize("device", DEVICES)
@pytest.mark.parametrize("sa,sb", LAYOUTS)
@pytest.mark.parametrize("op", OPS)
def test_field_kernels_equal_pytorch_remainder(device, sa, sb, op):
    g = torch.Generator().manual_seed(len(sa) * 10 + len(sb))
    an, ad = random_residues(sa, g), random_residues(sa, g)
    bn, bd = random_residues(sb, g), random_residues(sb, g)
    out = OPS[op](MT(an.to(device), ad.to(device)), MT(bn.to(device), bd.to(device)))
    shape = torch.broadcast_shapes(sa, sb)
    want = [w.view(20, *shape) for w in expected_residues(op, an.reshape(20, -1), ad.reshape(20, -1),
                                                          bn.reshape(20, -1), bd.reshape(20, -1))]
    assert out.num.device.type == device and out.denom.device.type == device
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


SCRIPT = """
import json, torch
from korvex.vla import modular_cuda as mc
MT = mc.ModularTensor
g = torch.Generator().manual_seed(3)
p = mc.PRIMES.view(20, 1)
def rec(n):
    return MT(torch.randint(-2**62, 2**62, (1, n), generator=g) % p, torch.randint(1, 2**62, (1, n), generator=g) % p)
a, b, s = rec(40000), rec(40000), rec(1)
out = []
for x, y in ((a, b), (s, a), (a, s)):
    for r in (x + y, x - y, x * y, x / y):
        out.append([r.num.sum().item(), r.denom.sum().item(), r.num[:, :3].tolist()])
print(json.dumps(out))
"""


def test_generic_field_formulas_agree_with_the_cpu_kernels():
    """Devices without a launcher of their own run the ATen formulas; they give the same residues."""
    cpu, generic = both_kernel_modes(SCRIPT)
    assert cpu == generic
