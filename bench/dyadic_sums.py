"""dot against sum, and cumsum, of float64 records: medians of several runs.

    python -P bench/dyadic_sums.py [device]
"""
import statistics
import sys
import time

import torch

from korvex.vla import modular_cuda as mc

MT = mc.ModularTensor


def median_time(fn, repeat=7):
    fn()
    times = []
    for _ in range(repeat):
        if torch.cuda.is_available():
            torch.cuda.synchronize()
        t = time.perf_counter()
        fn()
        if torch.cuda.is_available():
            torch.cuda.synchronize()
        times.append(time.perf_counter() - t)
    return statistics.median(times)


def main(device="cpu"):
    g = torch.Generator().manual_seed(2)
    rows = []
    x = MT.from_tensor(torch.randn(1_000_000, generator=g, dtype=torch.float64).to(device), device)
    y = MT.from_tensor(torch.randn(1_000_000, generator=g, dtype=torch.float64).to(device), device)
    s = median_time(lambda: x.sum())
    d = median_time(lambda: x.dot(y))
    rows += [("sum of 1e6 float64", s), ("dot of two 1e6 float64", d), ("  dot over sum (x)", d / s)]
    for n in (100_000, 1_000_000):
        r = MT.from_tensor(torch.randn(n, generator=g, dtype=torch.float64).to(device), device)
        rows.append((f"cumsum of {n:,} float64", median_time(r.cumsum, repeat=3 if n > 100_000 else 5)))
    print(f"torch {torch.__version__}, device {device}")
    for name, t in rows:
        print(f"| {name} | {t:.2f} |" if name.endswith("(x)") else f"| {name} | {t * 1e3:.1f} ms |")


if __name__ == "__main__":
    main(*sys.argv[1:])
