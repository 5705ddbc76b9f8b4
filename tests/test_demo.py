"""The demo and benchmark commands, run as a user runs them."""
import os
import subprocess
import sys
from decimal import Decimal
from fractions import Fraction

import pytest

from korvex.vla import __main__ as demo

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# e to 100 significant digits, rounded (the next digits are 4274...).
E100 = ("2.718281828459045235360287471352662497757247093699959574966967627724076630353547594571382178525166427")


def run(*args, cwd=ROOT):
    return subprocess.run([sys.executable, "-P", "-m", "korvex.vla", *args], capture_output=True, text=True,
                          timeout=300, cwd=cwd, env={**os.environ, "CUDA_VISIBLE_DEVICES": ""})


def test_demo_runs():
    out = run("--size", "10000")
    assert out.returncode == 0, out.stderr
    text = out.stdout
    assert "korvex exact arithmetic on cpu" in text
    assert "1/10 + 2/10 - 3/10 = (0, 1)" in text
    assert "over 10,000 elements: all exactly 1: True" in text
    assert "exact A.solve(b):          [-64, 900, -2520, 1820]" in text
    assert f"exp_taylor  {E100}  (" in text
    assert "math.e      2.718281828459045  (16 correct digits)" in text
    # The printed sum is the exact sum of the same values, computed here without the library.
    line = next(ln for ln in text.splitlines() if ln.strip().startswith("exact ") and "(exact;" in ln)
    shown = Fraction(Decimal(line.split()[1]))
    assert shown == sum(Fraction(v) for v in demo.sample(10000).double().tolist())
    errors = [ln for ln in text.splitlines() if ln.strip().startswith("torch.sum float")]
    assert len(errors) == 2 and "error" in errors[0]


def test_size_must_be_positive():
    out = run("--size", "0")
    assert out.returncode == 2 and "--size must be at least 1" in out.stderr


def test_bench_outside_the_repository(tmp_path):
    out = run("bench", cwd=tmp_path)
    assert out.returncode == 2 and "repository root" in out.stderr


@pytest.fixture
def scaling(monkeypatch):
    monkeypatch.syspath_prepend(os.path.join(ROOT, "bench"))
    import run as bench_run
    import scaling
    return scaling, bench_run.median_time


def test_scaling_tables_and_plot(scaling, tmp_path):
    scaling, median_time = scaling
    pytest.importorskip("matplotlib")
    png = tmp_path / "s.png"
    lines = scaling.run("cpu", median_time, path=str(png), sum_sizes=(10, 1000), matmul_sizes=(2, 3))
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert "![time against size](s.png)" in lines
    rows = [ln for ln in lines if ln.startswith("| ") and ln[2].isdigit()]
    assert [r.split(" | ")[0] for r in rows] == ["| 10", "| 1,000", "| 2", "| 3"]


def test_scaling_without_matplotlib(scaling, tmp_path, monkeypatch, capsys):
    scaling, median_time = scaling
    monkeypatch.setitem(sys.modules, "matplotlib", None)  # import now raises ImportError
    png = tmp_path / "s.png"
    lines = scaling.run("cpu", median_time, path=str(png), sum_sizes=(10,), matmul_sizes=(2,))
    assert not png.exists()
    assert not any(ln.startswith("![") for ln in lines)
    assert "skipping the plot" in capsys.readouterr().out
