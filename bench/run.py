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
# Also loaded by path (python -P -m korvex.vla bench), where this folder is not on sys.path.
if HERE not in sys.path:
    sys.path.insert(0, HERE)
import scaling  # noqa: E402


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
    # Two field operations, each reading four [20, n] int64 tensors and writing two.
    moved = 2 * 6 * 8 * 20 * n
    return [("a*b + c, records of 1,000,000 elements", ours),
            ("(a*b + c) % p, ATen int64 [20, 1e6]", aten),
            ("speed-up over ATen (x)", aten / ours),
            ("  a*b + c bandwidth GB/s", moved / ours / 1e9)]


def bench_stream(device, n=1_000_000):
    """The element-wise jobs beside plain copies of the bytes each one has to move."""
    g = torch.Generator().manual_seed(5)
    x = torch.randn(n, generator=g, dtype=torch.float64).to(device)
    r = MT.from_tensor(x, device)
    # The leading residue rows that hold these values (31-bit primes, symmetric range): the
    # sum and to_float read only those.
    _, ex = torch.frexp(x.cpu())
    den_bits = int((53 - ex).clamp_min(0).max()) + 1
    kn, kd = (53 + 2 + 30) // 31, (den_bits + 2 + 30) // 31
    rows = torch.cat([r.num[:kn], r.denom[:kd]]).contiguous()
    full = torch.randint(0, 2**31 - 1000, (40, n), generator=g).to(device)
    out = torch.empty_like(full)
    copy_full = median_time(lambda: out.copy_(full))
    read_rows = median_time(lambda: rows.sum())
    copy_rows = median_time(lambda: rows.clone())
    ingest = median_time(lambda: MT.from_tensor(x, device))
    total = median_time(lambda: r.sum())
    to_float = median_time(lambda: r.to_float())

    a = MT.from_tensor(torch.rand(n, generator=g, dtype=torch.float64).to(device), device)
    c = MT.from_tensor(torch.rand(n, generator=g, dtype=torch.float64).to(device), device)
    add = median_time(lambda: a + c)
    mul = median_time(lambda: a * c)
    half = full[:20].contiguous()
    half_out = torch.empty_like(half)
    copy_half = median_time(lambda: half_out.copy_(half))
    moved = 6 * 8 * 20 * n  # four residue tensors read, two written
    gbs = lambda t, b: b / t / 1e9  # noqa: E731
    return [("copy of [40, 1e6] int64 (320 MB each way)", copy_full),
            ("from_tensor of 1e6 float64 alone", ingest),
            ("  ratio to the 320 MB copy (x)", ingest / copy_full),
            (f"read (sum) of the {kn}+{kd} residue rows values need", read_rows),
            (f"copy of those {kn}+{kd} rows", copy_rows),
            ("sum() of a 1e6 float64 record alone", total),
            ("  ratio to reading its rows (x)", total / read_rows),
            ("  ratio to the 320 MB copy (x)", total / copy_full),
            ("to_float of a 1e6 float64 record", to_float),
            ("  ratio to reading its rows (x)", to_float / read_rows),
            ("a + c, records of 1e6 float64", add),
            ("a * c, records of 1e6 float64", mul),
            ("  a + c over a * c (x)", add / mul),
            ("copy of [20, 1e6] int64 (160 MB each way)", copy_half),
            ("  a + c bandwidth GB/s", gbs(add, moved)),
            ("  a * c bandwidth GB/s", gbs(mul, moved)),
            ("  copy bandwidth GB/s", gbs(copy_half, 2 * 8 * 20 * n))]


def bench_simplify(device):
    x = MT.from_fraction(6, 4, (), device) * MT.from_fraction(10, 3, (), device)
    t = median_time(lambda: x.simplify(), repeat=2001, warmup=100)
    return [("simplify of a scalar", t)]


def bench_floats(device, n=1_000_000):
    g = torch.Generator().manual_seed(1)
    x = torch.randn(n, generator=g, dtype=torch.float64).to(device)
    y = torch.rand(n, generator=g, dtype=torch.float64).to(device)

    def round_trip():
        MT.from_tensor(x, device).to_float()

    def pipeline():
        a, b = MT.from_tensor(x, device), MT.from_tensor(y, device)
        (a * b + a).to_float()

    return [("from_tensor + to_float, 1,000,000 float64", median_time(round_trip)),
            ("from_tensor x2, a*b + a, to_float, 1e6 float64", median_time(pipeline, repeat=5))]


def bench_reductions(device, n=1_000_000):
    import math
    g = torch.Generator().manual_seed(2)
    x = torch.randn(n, generator=g, dtype=torch.float64)
    y = torch.randn(n, generator=g, dtype=torch.float64)
    values = x.tolist()
    xd, yd = x.to(device), y.to(device)
    fsum = median_time(lambda: math.fsum(values))
    ours = median_time(lambda: MT.from_tensor(xd, device).sum().to_rational())
    dot = median_time(lambda: MT.from_tensor(xd, device).dot(MT.from_tensor(yd, device)).to_rational())
    rows = [("math.fsum of 1,000,000 float64 (list)", fsum),
            ("from_tensor + sum + to_rational, 1e6 float64", ours),
            ("  ratio to fsum (x)", ours / fsum),
            ("from_tensor x2 + dot + to_rational, 1e6", dot),
            ("  ratio to our sum (x)", dot / ours)]
    # The same two jobs on records made once: the pipelines above are mostly from_tensor, two
    # of them for dot, which alone puts that ratio near 2.
    rx, ry = MT.from_tensor(xd, device), MT.from_tensor(yd, device)
    sum_alone = median_time(lambda: rx.sum(), repeat=15)
    dot_alone = median_time(lambda: rx.dot(ry), repeat=15)
    rows += [("sum of a 1e6 float64 record alone", sum_alone),
             ("dot of two 1e6 float64 records alone", dot_alone),
             ("  dot over sum, records made (x)", dot_alone / sum_alone)]
    for size in (128, 512):
        a = torch.randn(size, size, generator=g, dtype=torch.float64)
        b = torch.randn(size, size, generator=g, dtype=torch.float64)
        A, B = MT.from_tensor(a.to(device), device), MT.from_tensor(b.to(device), device)
        t = median_time(lambda: A.matmul(B), repeat=5 if size == 128 else 3)
        rows.append((f"matmul {size}x{size} float64, exact", t))
        if size == 128:
            try:
                import flint
            except ImportError:
                rows.append(("python-flint not installed: no fmpq_mat figure", float("nan")))
                continue
            def fm(t_):
                return flint.fmpq_mat(size, size, [flint.fmpq(*v.as_integer_ratio()) for v in t_.reshape(-1).tolist()])
            fa, fb = fm(a), fm(b)
            peer = median_time(lambda: fa * fb, repeat=5)
            rows.append(("python-flint fmpq_mat product 128x128", peer))
            rows.append(("  ratio to fmpq_mat (x)", t / peer))
    return rows


def fmpq_matrix(t):
    import flint
    rows, cols = (t.shape[0], t.shape[1]) if t.dim() == 2 else (t.shape[0], 1)
    return flint.fmpq_mat(rows, cols, [flint.fmpq(*v.as_integer_ratio()) for v in t.reshape(-1).tolist()])


def bench_linalg(device):
    g = torch.Generator().manual_seed(4)
    a5 = torch.randn(5, 5, generator=g, dtype=torch.float64)
    a4 = torch.randn(4, 4, generator=g, dtype=torch.float64)
    v4 = torch.randn(4, generator=g, dtype=torch.float64)
    A5, A4, b4 = (MT.from_tensor(t.to(device), device) for t in (a5, a4, v4))
    det = median_time(lambda: A5.det(), repeat=501, warmup=20)
    solve = median_time(lambda: A4.solve(b4), repeat=501, warmup=20)
    rows = [("det of a 5x5 float64 matrix", det), ("solve of a 4x4 float64 system", solve)]
    try:
        import flint  # noqa: F401
    except ImportError:
        return rows + [("python-flint not installed: no fmpq_mat figure", float("nan"))]
    F5, F4, B4 = fmpq_matrix(a5), fmpq_matrix(a4), fmpq_matrix(v4)
    fdet = median_time(lambda: F5.det(), repeat=501, warmup=20)
    fsolve = median_time(lambda: F4.solve(B4), repeat=501, warmup=20)
    return rows + [("python-flint fmpq_mat det 5x5", fdet), ("  det ratio to fmpq_mat (x)", det / fdet),
                   ("python-flint fmpq_mat solve 4x4", fsolve), ("  solve ratio to fmpq_mat (x)", solve / fsolve)]


def bench_scalar(device):
    from fractions import Fraction
    a, b = MT.from_fraction(3, 7, (), device), MT.from_fraction(-5, 11, (), device)
    x, y = Fraction(3, 7), Fraction(-5, 11)
    rows = []
    for name, ours, theirs in (("a + b", lambda: a + b, lambda: x + y), ("a * b", lambda: a * b, lambda: x * y)):
        t = median_time(ours, repeat=5001, warmup=200)
        f = median_time(theirs, repeat=5001, warmup=200)
        rows += [(f"{name} of two scalar records", t), (f"{name} of two Fractions", f),
                 (f"  {name} ratio to Fraction (x)", t / f)]
    return rows


def bench_small_matmul(device):
    g = torch.Generator().manual_seed(5)
    rows = []
    try:
        import flint  # noqa: F401
    except ImportError:
        flint = None
    for n in (16, 32, 64):
        a = torch.randn(n, n, generator=g, dtype=torch.float64)
        b = torch.randn(n, n, generator=g, dtype=torch.float64)
        A, B = MT.from_tensor(a.to(device), device), MT.from_tensor(b.to(device), device)
        # Products of tens of microseconds: enough calls, after enough warming, that the median
        # is neither a cold cache's nor one scheduling hiccup's, for both sides alike.
        repeat, warmup = (501, 50) if n <= 32 else (101, 10)
        t = median_time(lambda: A.matmul(B), repeat=repeat, warmup=warmup)
        rows.append((f"matmul {n}x{n} float64, exact", t))
        if flint is not None:
            fa, fb = fmpq_matrix(a), fmpq_matrix(b)
            peer = median_time(lambda: fa * fb, repeat=repeat, warmup=warmup)
            rows += [(f"python-flint fmpq_mat product {n}x{n}", peer), (f"  ratio to fmpq_mat {n} (x)", t / peer)]
    for n in (16, 32, 64, 128, 256, 512):
        # Small integers: what fmpq_mat handles with single-word arithmetic.
        a = torch.randint(-100, 101, (n, n), generator=g, dtype=torch.int64)
        b = torch.randint(-100, 101, (n, n), generator=g, dtype=torch.int64)
        A, B = MT.from_tensor(a.to(device), device), MT.from_tensor(b.to(device), device)
        repeat, warmup = (2001, 200) if n <= 32 else (201, 20) if n <= 64 else (21, 2) if n <= 128 else (5, 2)
        t = median_time(lambda: A.matmul(B), repeat=repeat, warmup=warmup)
        rows.append((f"matmul {n}x{n} integers in [-100, 100], exact", t))
        if flint is not None:
            fa = flint.fmpq_mat(n, n, [flint.fmpq(int(v)) for v in a.reshape(-1).tolist()])
            fb = flint.fmpq_mat(n, n, [flint.fmpq(int(v)) for v in b.reshape(-1).tolist()])
            peer = median_time(lambda: fa * fb, repeat=repeat, warmup=warmup)
            rows += [(f"python-flint fmpq_mat product {n}x{n}, same integers", peer),
                     (f"  ratio to fmpq_mat {n}, integers (x)", t / peer)]
    return rows


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


def bench_approx(device):
    one = MT.from_int(1, (), device)
    two = MT.from_int(2, (), device)
    ramp = torch.arange(1000, dtype=torch.float64).sub(500).div(256).to(device)
    vec = MT.from_tensor(ramp, device)
    return [("exp_taylor of a scalar, 20 terms", median_time(lambda: mc.exp_taylor(one), repeat=51, warmup=3)),
            ("sqrt_newton of 2 (defaults)", median_time(lambda: mc.sqrt_newton(two), repeat=51, warmup=3)),
            ("exp_taylor of a 1,000-element vector", median_time(lambda: mc.exp_taylor(vec), repeat=5))]


def cpu_description():
    """The CPU's model and the widest vector build of the kernels it runs (its figures differ)."""
    model, flags = platform.processor() or platform.machine(), set()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name") and model in ("", platform.machine()):
                    model = line.split(":", 1)[1].strip()
                elif line.startswith("flags"):
                    flags = set(line.split(":", 1)[1].split())
                    break
    except OSError:
        pass
    lanes = os.environ.get("KORVEX_CPU_LANES")
    widest = "AVX-512" if {"avx512f", "avx512dq", "avx512vl"} <= flags else "AVX2" if "avx2" in flags else "baseline"
    if lanes in ("baseline", "avx2") and widest != "baseline":
        widest = "baseline" if lanes == "baseline" else "AVX2"
    return f"{model}, kernels built for {widest}"


def main(device=None):
    if device is None:
        device = sys.argv[1] if len(sys.argv) > 1 else ("cuda" if torch.cuda.is_available() else "cpu")
    rows = (bench_elementwise(device) + bench_stream(device) + bench_simplify(device) + bench_floats(device)
            + bench_reductions(device) + bench_linalg(device) + bench_scalar(device) + bench_small_matmul(device)
            + bench_order(device) + bench_approx(device))
    lines = [
        "# Benchmark results",
        "",
        f"Machine: {platform.machine()} ({cpu_description()}), {os.cpu_count()} cores, torch {torch.__version__}, "
        f"device {device}; {datetime.date.today().isoformat()}. Medians of several runs "
        "(`make bench`).",
        "",
        "| benchmark | median |",
        "|---|---|",
    ]
    for name, value in rows:
        shown = f"{value:.2f}" if name.endswith("(x)") else f"{value:.1f}" if name.endswith("GB/s") else (
            f"{value * 1e6:.1f} us" if value < 1e-3 else f"{value * 1e3:.1f} ms")
        print(f"{name:45s} {shown}")
        lines.append(f"| {name} | {shown} |")
    lines += scaling.run(device, median_time)
    with open(os.path.join(HERE, "RESULTS.md"), "w") as f:
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
