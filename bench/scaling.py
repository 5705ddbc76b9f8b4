"""Time against size: the exact sum next to math.fsum, the exact matmul next to python-flint's
fmpq_mat product, as tables for RESULTS.md and a log-log plot (bench/scaling.png)."""
import math
import os

import torch

from korvex.vla import modular_cuda as mc

MT = mc.ModularTensor
HERE = os.path.dirname(os.path.abspath(__file__))
SUM_SIZES = (1_000, 10_000, 100_000, 1_000_000, 10_000_000)
MATMUL_SIZES = (16, 32, 64, 128, 256, 512)
FLINT_MAX = 512  # the bar holds at every size up to 512, so the peer is timed that far


def _repeats(seconds_hint):
    # Calls of tens of microseconds need dozens of runs for a stable median: with seven, one
    # cold call moved the n = 16 product by a fifth.
    return 51 if seconds_hint < 0.01 else 7 if seconds_hint < 0.1 else 3


def sweep_sum(device, median_time, sizes=SUM_SIZES):
    """Rows (n, ours, fsum) in seconds for from_tensor + sum + to_rational of n float64 values."""
    g = torch.Generator().manual_seed(5)
    rows = []
    for n in sizes:
        x = torch.randn(n, generator=g, dtype=torch.float64)
        values = x.tolist()
        xd = x.to(device)
        repeat = _repeats(n / 5e6)
        ours = median_time(lambda: MT.from_tensor(xd, device).sum().to_rational(), repeat=repeat, warmup=3)
        peer = median_time(lambda: math.fsum(values), repeat=repeat, warmup=3)
        rows.append((n, ours, peer))
    return rows


def _flint():
    try:
        import flint
    except ImportError:
        return None
    return flint


def sweep_matmul(device, median_time, sizes=MATMUL_SIZES):
    """Rows (n, ours, fmpq_mat or None) in seconds for n x n float64 matrices held exactly."""
    flint = _flint()
    g = torch.Generator().manual_seed(6)
    rows = []
    for n in sizes:
        a = torch.randn(n, n, generator=g, dtype=torch.float64)
        b = torch.randn(n, n, generator=g, dtype=torch.float64)
        A, B = MT.from_tensor(a.to(device), device), MT.from_tensor(b.to(device), device)
        repeat = _repeats((n / 128) ** 3 * 0.25)
        ours = median_time(lambda: A.matmul(B), repeat=repeat, warmup=3)
        peer = None
        if flint is not None and n <= FLINT_MAX:
            def fm(t):
                return flint.fmpq_mat(n, n, [flint.fmpq(*v.as_integer_ratio()) for v in t.reshape(-1).tolist()])
            fa, fb = fm(a), fm(b)
            peer = median_time(lambda: fa * fb, repeat=repeat, warmup=3)
        rows.append((n, ours, peer))
    return rows


def _ms(t):
    if t is None:
        return "-"
    return f"{t * 1e6:.1f} us" if t < 1e-3 else f"{t * 1e3:.1f} ms"


def markdown(sum_rows, matmul_rows, plot_name):
    """Sections appended to RESULTS.md; the image link only when the plot was drawn."""
    lines = ["", "## Time against size", ""]
    if plot_name:
        lines += [f"![time against size]({plot_name})", ""]
    else:
        lines += ["(matplotlib not installed: no plot; `pip install matplotlib`)", ""]
    lines += ["| elements | from_tensor + sum + to_rational | math.fsum (list) | ratio (x) |", "|---|---|---|---|"]
    lines += [f"| {n:,} | {_ms(o)} | {_ms(p)} | {o / p:.2f} |" for n, o, p in sum_rows]
    lines += ["", "| n x n | exact matmul | python-flint fmpq_mat | ratio (x) |", "|---|---|---|---|"]
    lines += [f"| {n} | {_ms(o)} | {_ms(p)} | {'-' if p is None else f'{o / p:.2f}'} |"
              for n, o, p in matmul_rows]
    return lines


def plot(sum_rows, matmul_rows, path, device):
    """Draws the PNG; returns False (after saying so) when matplotlib is missing."""
    try:
        import matplotlib
    except ImportError:
        print("matplotlib not installed: skipping the plot (pip install matplotlib)")
        return False
    matplotlib.use("Agg")  # files only: no display on a build machine
    import matplotlib.pyplot as plt

    fig, (left, right) = plt.subplots(1, 2, figsize=(10, 4.2))
    ns = [r[0] for r in sum_rows]
    left.loglog(ns, [r[1] for r in sum_rows], "o-", label="exact sum (from_tensor + sum + to_rational)")
    left.loglog(ns, [r[2] for r in sum_rows], "s--", label="math.fsum (list of floats)")
    left.set(title="Sum of n float64 values", xlabel="n", ylabel="seconds (median)")
    ms = [r[0] for r in matmul_rows]
    right.loglog(ms, [r[1] for r in matmul_rows], "o-", label="exact matmul")
    peer = [(n, p) for n, _, p in matmul_rows if p is not None]
    if peer:
        right.loglog([n for n, _ in peer], [p for _, p in peer], "s--", label="python-flint fmpq_mat")
    right.set_xscale("log", base=2)
    right.set(title="Product of n x n float64 matrices", xlabel="n", ylabel="seconds (median)")
    for ax in (left, right):
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=8)
    fig.suptitle(f"korvex on {device}")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return True


def run(device, median_time, path=os.path.join(HERE, "scaling.png"),
        sum_sizes=SUM_SIZES, matmul_sizes=MATMUL_SIZES):
    """Sweeps, prints, draws; returns the markdown lines for RESULTS.md."""
    sum_rows = sweep_sum(device, median_time, sum_sizes)
    for n, o, p in sum_rows:
        print(f"sum of {n:>9,} float64: exact {_ms(o):>12}   math.fsum {_ms(p):>12}")
    matmul_rows = sweep_matmul(device, median_time, matmul_sizes)
    for n, o, p in matmul_rows:
        print(f"matmul {n:>4}x{n:<4} exact {_ms(o):>12}   fmpq_mat {_ms(p):>12}")
    if _flint() is None:
        print("python-flint not installed: the matmul has no peer")
    drawn = plot(sum_rows, matmul_rows, path, device)
    if drawn:
        print(f"plot written to {path}")
    return markdown(sum_rows, matmul_rows, os.path.basename(path) if drawn else None)
