"""GPU figures next to plain PyTorch in the same run; writes bench/RESULTS-cuda.md.

Sized for one large GPU and a few minutes: every record of n elements costs 320 * n bytes.
"""
import datetime
import os
import statistics
import sys
import time

import torch

from korvex.vla import modular_cuda as mc

MT = mc.ModularTensor
HERE = os.path.dirname(os.path.abspath(__file__))
N = 10_000_000


def median_time(fn, repeat=5, warmup=1):
    for _ in range(warmup):
        fn()
    torch.cuda.synchronize()
    times = []
    for _ in range(repeat):
        torch.cuda.synchronize()
        t0 = time.perf_counter()
        fn()
        torch.cuda.synchronize()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def gbps(nbytes, seconds):
    return nbytes / seconds / 1e9


def rows():
    dev = "cuda"
    g = torch.Generator(device=dev).manual_seed(0)
    x = torch.randn(N, generator=g, device=dev, dtype=torch.float64)
    out = []

    # The device copy of the bytes an element-wise op moves: the bandwidth limit.
    moved = torch.empty(20 * N * 6 // 2, dtype=torch.long, device=dev)
    copy = median_time(lambda: moved.clone())
    out.append(("device copy of 480 MB (bandwidth limit)", copy, f"{gbps(2 * moved.numel() * 8, copy):.0f} GB/s"))

    a, b, c = (MT.from_tensor(torch.randn(N, generator=g, device=dev, dtype=torch.float64), dev) for _ in range(3))
    t = median_time(lambda: a * b + c)
    # a*b + c reads three records and writes two (the product is an intermediate): 8 tensors of 160 MB in all.
    out.append(("a*b + c on 1e7-element records", t, f"{gbps(8 * 20 * N * 8, t):.0f} GB/s effective"))

    t = median_time(lambda: MT.from_tensor(x, dev))
    out.append(("from_tensor of 1e7 float64", t, f"{gbps(N * 8 + 2 * 20 * N * 8, t):.0f} GB/s effective"))
    t_sum = median_time(lambda: MT.from_tensor(x, dev).sum().to_rational())
    t_torch = median_time(lambda: x.sum().item())
    out.append(("from_tensor + sum + to_rational of 1e7 float64", t_sum, f"{t_sum / t_torch:.1f}x torch.sum"))
    out.append(("torch.sum of the same float64 (and .item())", t_torch, ""))

    r = MT.from_tensor(x, dev)
    t = median_time(lambda: r.to_float())
    out.append(("to_float of 1e7", t, f"{gbps(2 * 20 * N * 8 + 4 * N, t):.0f} GB/s effective"))

    t = median_time(lambda: r.sort(), repeat=3)
    t_ref = median_time(lambda: torch.sort(x), repeat=3)
    out.append(("sort of 1e7", t, f"{t / t_ref:.1f}x torch.sort of float64"))

    for n in (1024, 4096):
        A = torch.randn(n, n, generator=g, device=dev, dtype=torch.float64)
        B = torch.randn(n, n, generator=g, device=dev, dtype=torch.float64)
        ra, rb = MT.from_tensor(A, dev), MT.from_tensor(B, dev)
        t = median_time(lambda: ra.matmul(rb).to_float(), repeat=3)
        t_ref = median_time(lambda: A @ B, repeat=3)
        out.append((f"exact matmul {n}, rounded", t, f"{t / t_ref:.1f}x torch.matmul float64"))
        del ra, rb
    return out


def main():
    if not torch.cuda.is_available():
        print("gpu_bench: no CUDA device", file=sys.stderr)
        return 1
    table = rows()
    lines = [f"# GPU figures ({torch.cuda.get_device_name()}, torch {torch.__version__}, "
             f"{datetime.date.today().isoformat()})", "",
             "Medians of several runs, each reference timed in the same run.", "",
             "| workload | median (ms) | against the reference |", "|---|---:|---|"]
    for name, t, note in table:
        lines.append(f"| {name} | {t * 1e3:.2f} | {note} |")
        print(f"{name:55s} {t * 1e3:10.2f} ms  {note}", flush=True)
    with open(os.path.join(HERE, "RESULTS-cuda.md"), "w") as f:
        f.write("\n".join(lines) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
