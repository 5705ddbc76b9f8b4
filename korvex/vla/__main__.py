"""Demo: exact results next to their float counterparts, on CUDA when present, else CPU.

``python -m korvex.vla [--size N] [--device D]`` runs the demonstration;
``python -m korvex.vla bench [--device D]`` runs the benchmarks in bench/ (from the repository root).
"""
import argparse
import importlib.util
import math
import os
import sys
import time
from decimal import Decimal
from fractions import Fraction

import torch

from korvex.vla.modular_cuda import PRIMES, ModularTensor, exp_taylor

E_TERMS = 80


def sample(size, device="cpu"):
    """The demo's random float32 values: standard normal, seed 0, drawn on the CPU so that every
    device sums the same numbers."""
    g = torch.Generator().manual_seed(0)
    return torch.randn(size, generator=g, dtype=torch.float32).to(device)


def _clock(device):
    # Device work is asynchronous: without a barrier a timing would only measure the launch.
    if device.startswith("cuda"):
        torch.cuda.synchronize()
    return time.perf_counter()


def _timed(device, fn):
    t0 = _clock(device)
    out = fn()
    return out, _clock(device) - t0


def _progress(text):
    print(f"... {text}", flush=True)


def _matching_digits(a, b):
    """Leading significant digits two positive decimals share."""
    da, db = a.as_tuple().digits, b.as_tuple().digits
    if a.adjusted() != b.adjusted():
        return 0
    n = 0
    while n < min(len(da), len(db)) and da[n] == db[n]:
        n += 1
    return n


def opening(device, size):
    # 0.1 + 0.2 - 0.3 over the exact decimals (not the floats): exactly zero.
    tenth = ModularTensor.from_fraction(1, 10, (), device)
    exact = tenth + ModularTensor.from_fraction(2, 10, (), device) - ModularTensor.from_fraction(3, 10, (), device)
    print(f"1/10 + 2/10 - 3/10 = {exact.to_rational()}    float64: {0.1 + 0.2 - 0.3!r}")

    # Sum of 1/k for k = 1..30: harmonic number H_30 exactly.
    h = ModularTensor.zeros((), device)
    hf = 0.0
    for k in range(1, 31):
        h = (h + ModularTensor.from_fraction(1, k, (), device)).simplify()
        hf += 1.0 / k
    n, d = h.to_rational()
    print(f"H_30 = {n}/{d}")
    print(f"     = {str(h.to_decimal())[:42]}...    float64: {hf!r}")

    # Catastrophic cancellation: (1e20 + 1) - 1e20 on many elements at once.
    _progress(f"(1e20 + 1) - 1e20 on {size:,} elements")
    t0 = _clock(device)
    big = ModularTensor.from_int(10**20, (size,), device)
    one = ModularTensor.ones((size,), device)
    diff = (big + one) - big
    ok = bool((diff == 1).all())
    t1 = _clock(device)
    f32 = (torch.full((size,), 1e20, device=device) + 1 - 1e20)[0].item()
    print(f"(1e20 + 1) - 1e20 over {size:,} elements: all exactly 1: {ok}  "
          f"({t1 - t0:.2f} s)    float32: {f32!r}")

    # Powers that leave float range stay exact.
    x = ModularTensor.from_fraction(2, 3, (), device)
    y = x
    for _ in range(6):
        y = (y * y).simplify()
    n, d = y.to_rational()
    print(f"(2/3)^64 = {n}/{d}    float64: {(2 / 3) ** 64!r}")
    return ok


def exact_sum(device, size):
    print(f"\nSum of {size:,} random float32 values (standard normal, seed 0)")
    _progress("drawing the values, then from_tensor + sum + to_rational")
    x, t_draw = _timed(device, lambda: sample(size, device))
    s, t_exact = _timed(device, lambda: ModularTensor.from_tensor(x, device).sum())
    (n, d), t_read = _timed(device, s.to_rational)
    exact = Fraction(n, d)
    shown = s.to_decimal()
    # to_decimal keeps 100 significant digits; a float32 sum usually needs fewer, say if not.
    note = "exact" if Fraction(shown) == exact else "rounded to 100 digits"
    print(f"  exact     {shown}  ({note}; {t_exact + t_read:.3f} s, drawing {t_draw:.3f} s)")
    for dtype in (torch.float32, torch.float64):
        f, t = _timed(device, lambda: torch.sum(x.to(dtype)).item())
        err = float(Fraction(f) - exact)
        name = str(dtype).replace("torch.", "")
        shown_err = f"{err:+.3e}" if err else "0 (exact this time)"
        print(f"  torch.sum {name}: {f!r:24}  error {shown_err}  ({t * 1e3:.2f} ms)")
    return n, d


def hilbert(device):
    print("\nHilbert 4x4 solve: A = [1/(i+j+1)], b = [1, 2, 3, 4]")
    i = torch.arange(4)
    h = (i.view(4, 1) + i.view(1, 4) + 1)
    # A = 1/h from residues: numerator 1, denominator h modulo each prime.
    primes = PRIMES.to(device)
    den = h.to(device).unsqueeze(0) % primes.view(-1, 1, 1)
    A = ModularTensor(torch.ones_like(den), den, primes)
    b = ModularTensor.from_tensor(torch.tensor([1, 2, 3, 4], device=device), device)
    xs, t_exact = _timed(device, lambda: A.solve(b))
    exact = [Fraction(*xs.index_select(0, torch.tensor([k], device=device)).reshape(()).to_rational())
             for k in range(4)]
    shown = [int(v) if v.denominator == 1 else v for v in exact]
    print(f"  exact A.solve(b):          {shown}  ({t_exact * 1e3:.2f} ms)")
    Af = (1.0 / h.double()).to(device)
    bf = torch.tensor([1.0, 2.0, 3.0, 4.0], dtype=torch.float64, device=device)
    xf, t_float = _timed(device, lambda: torch.linalg.solve(Af, bf))
    xf = xf.tolist()
    err = max(abs(float(Fraction(a) - e)) for a, e in zip(xf, exact))
    print(f"  torch.linalg.solve float64: {xf}  "
          f"max error {err:.3e}  ({t_float * 1e3:.2f} ms)")
    return exact


def euler(device):
    print(f"\nexp(1) from {E_TERMS} Taylor terms, 100 significant digits")
    one = ModularTensor.from_int(1, (), device)
    e, t = _timed(device, lambda: exp_taylor(one, terms=E_TERMS))
    digits = e.to_decimal()
    # The series left out is below 2/E_TERMS!, which bounds how many of the digits are e's.
    sure = math.floor(-math.log10(2 / math.factorial(E_TERMS)))
    print(f"  exp_taylor  {digits}  ({t * 1e3:.2f} ms; remainder < 1e-{sure})")
    print(f"  math.e      {math.e!r}  ({_matching_digits(Decimal(math.e), digits)} correct digits)")
    return digits


def demo(device, size):
    print(f"korvex exact arithmetic on {device}")
    t0 = time.perf_counter()
    ok = opening(device, size)
    exact_sum(device, size)
    hilbert(device)
    euler(device)
    print(f"\ntotal {time.perf_counter() - t0:.2f} s")
    return 0 if ok else 1


def bench(device):
    path = os.path.join(os.getcwd(), "bench", "run.py")
    if not os.path.isfile(path):
        print("bench: no bench/run.py here; run this from the repository root", file=sys.stderr)
        return 2
    found = importlib.util.spec_from_file_location("korvex_bench_run", path)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    module.main(device)
    return 0


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog="python -m korvex.vla", description=__doc__.splitlines()[0])
    parser.add_argument("command", nargs="?", choices=("demo", "bench"), default="demo")
    parser.add_argument("--size", type=int, default=1_000_000,
                        help="elements of the large steps of the demo (default 1,000,000)")
    parser.add_argument("--device", default=None, help="default: cuda when present, else cpu")
    args = parser.parse_args(argv)
    if args.size < 1:
        parser.error("--size must be at least 1")
    device = args.device or ("cuda" if torch.cuda.is_available() else "cpu")
    if args.command == "bench":
        return bench(device)
    return demo(device, args.size)


if __name__ == "__main__":
    sys.exit(main())
