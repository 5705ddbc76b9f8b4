"""Benchmarks: medians of several runs, printed and written to bench/RESULTS.md."""
import datetime
import os
import platform
import statistics
import sys
import time

import torch

from korvex.vla import modular_cuda as mc

MT = mc.ModularTensor
HERE = os.path.dirname(os.path.abspath(__file__))


def median_time(fn, repeat=7, warmup=1):
    for _ in range(warmup):
        fn()
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def bench_elementwise(device, n=1_000_000):
    a = MT.from_fraction(3, 7, (n,), device)
    b = MT.from_fraction(-5, 11, (n,), device)
    c = MT.from_fraction(1, 3, (n,), device)
    ours = median_time(lambda: a * b + c)
    g = torch.Generator().manual_seed(0)
    A = torch.randint(0, 2**31 - 1000, (20, n), generator=g).to(device)
    B = torch.randint(0, 2**31 - 1000, (20, n), generator=g).to(device)
    C = torch.randint(0, 2**31 - 1000, (20, n), generator=g).to(device)
    p = mc.PRIMES.to(device).view(20, 1)
    aten = median_time(lambda: (A * B + C) % p)
    return [("a*b + c, records of 1,000,000 elements", ours),
            ("(a*b + c) % p, ATen int64 [20, 1e6]", aten),
            ("speed-up over ATen (x)", aten / ours)]


def bench_simplify(device):
    x = MT.from_fraction(6, 4, (), device) * MT.from_fraction(10, 3, (), device)
    t = median_time(lambda: x.simplify(), repeat=2001, warmup=100)
    return [("simplify of a scalar", t)]


def bench_order(device, n=100_000):
    g = torch.Generator().manual_seed(0)
    a = MT.from_tensor(torch.randn(n, dtype=torch.float64, generator=g), device)
    b = MT.from_tensor(torch.randn(n, dtype=torch.float64, generator=g), device)
    sort_ours = median_time(lambda: a.sort())
    sort_float = median_time(lambda: torch.sort(a.to_float()))
    lt_ours = median_time(lambda: a.lt(b))
    lt_float = median_time(lambda: a.to_float() < b.to_float())
    return [("sort of 100,000 float64 values (exact)", sort_ours),
            ("to_float then torch.sort, same values", sort_float),
            ("exact sort over float-image sort (x)", sort_ours / sort_float),
            ("lt of two such records (exact)", lt_ours),
            ("to_float of both then torch.lt", lt_float),
            ("exact lt over float-image lt (x)", lt_ours / lt_float)]


def main():
    device = sys.argv[1] if len(sys.argv) > 1 else ("cuda" if torch.cuda.is_available() else "cpu")
    rows = bench_elementwise(device) + bench_simplify(device) + bench_order(device)
    lines = [
        "# Benchmark results",
        "",
        f"Machine: {platform.machine()}, {os.cpu_count()} cores, torch {torch.__version__}, "
        f"device {device}; {datetime.date.today().isoformat()}. Medians of several runs "
        "(`make bench`).",
        "",
        "| benchmark | median |",
        "|---|---|",
    ]
    for name, value in rows:
        shown = f"{value:.2f}" if name.endswith("(x)") else (
            f"{value * 1e6:.1f} us" if value < 1e-3 else f"{value * 1e3:.1f} ms")
        print(f"{name:45s} {shown}")
        lines.append(f"| {name} | {shown} |")
    with open(os.path.join(HERE, "RESULTS.md"), "w") as f:
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
