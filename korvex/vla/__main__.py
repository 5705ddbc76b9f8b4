"""Demo: exact results next to their float counterparts, on CUDA when present, else CPU."""
import sys
import time

import torch

from korvex.vla.modular_cuda import ModularTensor


def main() -> int:
    device = "cuda" if torch.cuda.is_available() else "cpu"
    print(f"korvex exact arithmetic on {device}")

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

    # Catastrophic cancellation: (1e20 + 1) - 1e20 on a million elements at once.
    t0 = time.perf_counter()
    big = ModularTensor.from_int(10**20, (1_000_000,), device)
    one = ModularTensor.ones((1_000_000,), device)
    diff = (big + one) - big
    ok = bool((diff == 1).all())
    t1 = time.perf_counter()
    f32 = (torch.full((1_000_000,), 1e20) + 1 - 1e20)[0].item()
    print(f"(1e20 + 1) - 1e20 over 1,000,000 elements: all exactly 1: {ok}  "
          f"({t1 - t0:.2f} s)    float32: {f32!r}")

    # Powers that leave float range stay exact.
    x = ModularTensor.from_fraction(2, 3, (), device)
    y = x
    for _ in range(6):
        y = (y * y).simplify()
    n, d = y.to_rational()
    print(f"(2/3)^64 = {n}/{d}    float64: {(2 / 3) ** 64!r}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
