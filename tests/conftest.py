import fractions
import json
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


@pytest.fixture
def dev():
    return "cpu"


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
