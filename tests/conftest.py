import contextlib
import fractions
import json
import math
import os
import subprocess
import sys

import pytest
import torch

from korvex.vla import modular_cuda as mc

MT = mc.ModularTensor
PRIMES = [int(p) for p in mc.PRIMES.tolist()]
M = 1
for _p in PRIMES:
    M *= _p
HALF = (M - 1) // 2


def residues(n):
    return [n % p for p in PRIMES]


def value(rec):
    """Exact Fraction of a one-element record, by an independent CRT in Python."""
    def crt(rs):
        x = 0
        for r, p in zip(rs, PRIMES):
            Mi = M // p
            x += r * Mi * pow(Mi, -1, p)
        x %= M
        return x - M if x > M // 2 else x
    n = crt([int(v) for v in rec.num.reshape(-1).tolist()])
    d = crt([int(v) for v in rec.denom.reshape(-1).tolist()])
    return fractions.Fraction(n, d)


def values(rec):
    """Exact Fractions of every element of a record, row-major, independent of the library."""
    n = rec.num.reshape(20, -1)
    d = rec.denom.reshape(20, -1)
    out = []
    for k in range(n.shape[1]):
        out.append(value(MT(n[:, k].clone(), d[:, k].clone())))
    return out


# Every device the suite can reach: the CPU kernels, the ATen formulas that devices without our
# kernels run (forced on the CPU), and CUDA where there is a GPU.
DEVICE_PARAMS = ["cpu", "cpu-generic"] + (["cuda"] if torch.cuda.is_available() else [])


@contextlib.contextmanager
def generic_kernels(flag):
    """The CPU runs the ATen formulas (flag True) or its own kernels (False) inside the block."""
    previous = mc._set_generic_kernels(flag)
    try:
        yield
    finally:
        mc._set_generic_kernels(previous)


@contextlib.contextmanager
def kernel_ran(job):
    """Inside the block, ran() says whether the one call of `job` ("dot", "matmul") took its
    kernel: where a kernel wrongly declines, the exact host path gives the same result, and
    only this tells them apart."""
    before = mc._path_counts()

    def ran():
        now = mc._path_counts()
        kernel, host = (now[f"{job} {p}"] - before[f"{job} {p}"] for p in ("kernel", "host"))
        assert kernel + host == 1, "one call of the job expected"
        return kernel == 1

    yield ran


@pytest.fixture(params=DEVICE_PARAMS)
def dev(request):
    """The device a test runs on; `cpu` pins the CPU kernels even under KORVEX_GENERIC_KERNELS."""
    with generic_kernels(request.param == "cpu-generic"):
        yield "cuda" if request.param == "cuda" else "cpu"


@pytest.fixture
def frac(dev):
    """MT.from_fraction on the test's device."""
    def make(n, d=1, shape=()):
        return MT.from_fraction(n, d, shape, dev)
    return make


def both_kernel_modes(script):
    """JSON printed by `script` with the CPU kernels and with the ATen formulas other devices run."""
    runs = []
    for generic in ("0", "1"):
        env = dict(os.environ, KORVEX_GENERIC_KERNELS=generic)
        out = subprocess.run([sys.executable, "-P", "-c", script], capture_output=True, text=True, env=env,
                             timeout=300)
        assert out.returncode == 0, out.stderr
        runs.append(json.loads(out.stdout))
    return runs


def f32(fr):
    """The float32 nearest to a Fraction (ties to even), by integer arithmetic only."""
    if fr == 0:
        return 0.0
    a = abs(fr)
    e = a.numerator.bit_length() - a.denominator.bit_length()
    if a < fractions.Fraction(2) ** e:
        e -= 1
    e = max(e, -126)
    n = round(a / fractions.Fraction(2) ** (e - 23))
    if n * fractions.Fraction(2) ** (e - 23) >= 2**128:
        return math.copysign(math.inf, fr)
    return math.copysign(math.ldexp(n, e - 23), fr)
