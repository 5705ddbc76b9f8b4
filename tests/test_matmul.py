"""Exact matrix products of float- and integer-made records (denominators +-2^e), which run
where the residues lie, against Fraction and against the host path that decides everything
else: values, residues and the documented unreduced entries must agree bit for bit."""
from fractions import Fraction

import pytest
import torch

from conftest import HALF, M, MT, PRIMES, generic_kernels, kernel_ran, mc, residues


def crt(rs):
    x = 0
    for r, p in zip(rs, PRIMES):
        Mi = M // p
        x += int(r) * Mi * pow(Mi, -1, p)
    x %= M
    return x - M if x > M // 2 else x


def pairs(rec):
    """The stored (numerator, denominator) of every element, unreduced, row-major."""
    n = rec.num.reshape(20, -1).cpu().T.tolist()
    d = rec.denom.reshape(20, -1).cpu().T.tolist()
    return [(crt(a), crt(b)) for a, b in zip(n, d)]


def raw(fs, shape, dev):
    n = torch.tensor([[f[0] % p for f in fs] for p in PRIMES])
    d = torch.tensor([[f[1] % p for f in fs] for p in PRIMES])
    return MT(n.view(20, *shape).to(dev), d.view(20, *shape).to(dev))


def rand64(*shape, seed=0):
    return torch.randn(*shape, generator=torch.Generator().manual_seed(seed), dtype=torch.float64)


def documented(A, B):
    """Each entry as fraction-by-fraction summation leaves it (numerator over the product of
    the row's and column's denominators) where that fits, else in lowest terms."""
    m, k, n = len(A), len(B), len(B[0])
    out = []
    for i in range(m):
        for j in range(n):
            v = sum(Fraction(*A[i][q]) * Fraction(*B[q][j]) for q in range(k))
            R = C = 1
            for q in range(k):
                R *= A[i][q][1]
                C *= B[q][j][1]
            D = R * C
            if max(abs(R), abs(C), abs(D), abs(v * D)) <= HALF:
                out.append((int(v * D), D))
            else:
                out.append((v.numerator, v.denominator))
    return out


def grid(flat, rows, cols):
    return [flat[i * cols:(i + 1) * cols] for i in range(rows)]


def host_product(a, b):
    """The same product through the host path (what devices without our kernels run)."""
    with generic_kernels(True):
        return a.matmul(b)


def check(a, b, m, k, n, kernel=True):
    with kernel_ran("matmul") as ran:
        c = a.matmul(b)
    assert ran() == (kernel and not mc._generic_kernels())
    A, B = grid(pairs(a), m, k), grid(pairs(b), k, n)
    assert c.shape == (m, n)
    want = documented(A, B)
    got = pairs(c)
    assert [Fraction(*g) for g in got] == [Fraction(*w) for w in want]
    assert got == want
    ref = host_product(a, b)
    assert torch.equal(c.num.cpu(), ref.num.cpu()) and torch.equal(c.denom.cpu(), ref.denom.cpu())
    return c


def powers(rng_seed, count, lo, hi):
    """Small numerators over +-2^e, lo <= e <= hi."""
    g = torch.Generator().manual_seed(rng_seed)
    e = torch.randint(lo, hi + 1, (count,), generator=g).tolist()
    s = torch.randint(0, 2, (count,), generator=g).tolist()
    num = torch.randint(-50, 51, (count,), generator=g).tolist()
    return [(x, (-1) ** si * 2**ei) for x, ei, si in zip(num, e, s)]


@pytest.mark.parametrize("m, k, n", [(1, 1, 1), (4, 1, 3), (2, 3, 2), (7, 13, 4), (16, 16, 16), (3, 40, 5),
                                     (24, 24, 24)])
def test_float_products_are_exact_and_documented(dev, m, k, n):
    # Short rows keep the product of their denominators in range (the unreduced entry); long
    # rows leave it (lowest terms).
    a, b = rand64(m, k, seed=m + k), rand64(k, n, seed=n)
    check(MT.from_tensor(a, dev), MT.from_tensor(b, dev), m, k, n)


@pytest.mark.parametrize("case", ["signed-powers", "zeros", "integers", "wide-shifts", "mixed-zero-rows",
                                  "widest-row-shift"])
def test_dyadic_fractions(dev, case):
    # Fifteen entries where the sizes are free: the eight-lane loop and its tail each finish some.
    m, k, n = 3, 4, 2 if case in ("integers", "widest-row-shift") else 5
    if case == "signed-powers":
        fa, fb = powers(1, m * k, 0, 40), powers(2, k * n, 0, 40)
    elif case == "zeros":
        fa, fb = [(0, 2**5)] * (m * k), powers(3, k * n, 0, 9)
    elif case == "integers":
        fa, fb = [(x, 1) for x in range(-6, 6)], [(x, -1) for x in range(8)]
    elif case == "wide-shifts":
        # Denominators up to 2^300: cleared values of hundreds of bits, and rows whose
        # denominator products leave the range (lowest terms).
        fa, fb = powers(4, m * k, 0, 300), powers(5, k * n, 0, 200)
    elif case == "widest-row-shift":
        # A row lcm of 2^599, the widest the cleared path takes.
        fa = [(1, 2**599), (3, 1), (5, -2), (1, 8)] + powers(10, (m - 1) * k, 0, 5)
        fb = powers(11, k * n, 0, 5)
    else:
        fa = [(0, 4)] * k + powers(6, (m - 1) * k, 0, 20)
        fb = powers(7, k * n, 0, 20)
    check(raw(fa, (m, k), dev), raw(fb, (k, n), dev), m, k, n)


def test_products_that_need_every_prime(dev):
    # Cleared integers of ~297 bits: Z (~595 bits) needs the residues of all twenty primes.
    g = torch.Generator().manual_seed(9)
    big = lambda: int(torch.randint(1, 2**40, (1,), generator=g)) * 2**255 + 1
    fa = [(big() * (-1) ** i, 2 ** (i % 3)) for i in range(6)]
    fb = [(big(), -(2 ** (i % 2))) for i in range(6)]
    check(raw(fa, (2, 3), dev), raw(fb, (3, 2), dev), 2, 3, 2)


def test_transposed_and_sliced_operands(dev):
    a, b = rand64(6, 5, seed=1), rand64(4, 6, seed=2)
    A, B = MT.from_tensor(a, dev).transpose(0, 1), MT.from_tensor(b, dev).transpose(0, 1)
    assert not A.num.is_contiguous()
    check(A, B, 5, 6, 4)
    sliced = MT(MT.from_tensor(a, dev).num[:, ::2], MT.from_tensor(a, dev).denom[:, ::2])
    check(sliced, MT.from_tensor(rand64(5, 3, seed=3), dev), 3, 5, 3)


@pytest.mark.parametrize("case", ["entries-of-2^-600", "one-side-not-dyadic", "zero-denominator"])
def test_host_path_takes_over(dev, case):
    if case == "entries-of-2^-600":
        # A row lcm of 601 bits: no cleared form, every entry summed term by term.
        fa = [(1, 2**600), (3, 2)] * 2
        fb = [(1, 1), (5, 4)] * 2
    elif case == "one-side-not-dyadic":
        fa = powers(8, 4, 0, 10)
        fb = [(1, 3), (2, 5), (-7, 9), (1, 1)]
    else:
        fa = [(1, 2), (3, 0), (1, 4), (1, 1)]
        fb = powers(9, 4, 0, 3)
        a, b = raw(fa, (2, 2), dev), raw(fb, (2, 2), dev)
        assert pairs(a.matmul(b)) == pairs(host_product(a, b))  # n/0 entries: no Fraction to compare
        return
    check(raw(fa, (2, 2), dev), raw(fb, (2, 2), dev), 2, 2, 2, kernel=False)


def test_entries_past_the_range_raise(dev):
    # Odd numerators over 2^599 on both sides: the exact entries need 2^1198.
    a = raw([(1, 2**599), (1, 1)], (1, 2), dev)
    b = raw([(1, 2**599), (0, 1)], (2, 1), dev)
    with pytest.raises(OverflowError, match="exceeds the exact range"):
        a.matmul(b)
    with pytest.raises(OverflowError, match="exceeds the exact range"):
        host_product(a, b)


def test_large_float_product_matches_host_path(dev):
    a, b = rand64(70, 300, seed=11), rand64(300, 33, seed=12)
    A, B = MT.from_tensor(a, dev), MT.from_tensor(b, dev)
    c, ref = A.matmul(B), host_product(A, B)
    assert torch.equal(c.num.cpu(), ref.num.cpu()) and torch.equal(c.denom.cpu(), ref.denom.cpu())
    ea, eb = [[Fraction(v) for v in row] for row in a.tolist()], [[Fraction(v) for v in row] for row in b.tolist()]
    got = pairs(c)
    for i, j in [(0, 0), (69, 32), (35, 7)]:
        assert Fraction(*got[i * 33 + j]) == sum(ea[i][q] * eb[q][j] for q in range(300))


def randint(lo, hi, shape, seed):
    return torch.randint(lo, hi + 1, shape, generator=torch.Generator().manual_seed(seed), dtype=torch.int64)


# Integers made from tensors are (v 2^s) / 2^s: every row of them shares a power of two the
# product divides out before its GEMM. The ranges straddle the bounds that choose one float64
# GEMM of the integers themselves (29 bits a side, 53 for the sums) or the residue GEMM.
# (100, 50, 45, 30) is past the CPU's own small GEMM: at::bmm sums the integers there.
@pytest.mark.parametrize("bound, m, k, n", [(100, 5, 7, 3), (100, 16, 16, 16), (100, 50, 45, 30), (2**26 - 1, 3, 2, 4),
                                            (2**28, 4, 3, 2), (2**40, 3, 5, 2), (2**52, 2, 9, 3)])
@pytest.mark.parametrize("dtype", [torch.int64, torch.float64])
def test_integer_products(dev, bound, m, k, n, dtype):
    a = randint(-bound, bound, (m, k), seed=bound % 97 + m).to(dtype)
    b = randint(-bound, bound, (k, n), seed=bound % 89 + n).to(dtype)
    check(MT.from_tensor(a, dev), MT.from_tensor(b, dev), m, k, n)


def test_integer_sums_at_the_float64_limit(dev):
    # Every product is (2^26 - 1)^2 and each entry the sum of two: just below 2^53, the widest
    # sums the float64 GEMM of the integers takes.
    top = 2**26 - 1
    a = torch.tensor([[top, top], [-top, top], [top, 0]], dtype=torch.int64)
    b = torch.tensor([[top, -top, 1], [top, top, 0]], dtype=torch.int64)
    c = check(MT.from_tensor(a, dev), MT.from_tensor(b, dev), 3, 2, 3)
    assert Fraction(*pairs(c)[0]) == 2 * top * top


def test_integer_sums_one_bit_past_the_float64_limit(dev):
    # Rows of eight 26-bit integers times a column of 25-bit ones: sums of products reach 2^54
    # and are odd, which no double holds, so the bit lengths the rows are read with must send
    # them to the residue GEMM.
    x, y, u = 2**26 - 1, 2**26 - 2, 2**25 - 1
    a = torch.tensor([[x] * 7 + [y], [x] * 7 + [-y]], dtype=torch.int64)
    b = torch.tensor([[u]] * 8, dtype=torch.int64)
    c = check(MT.from_tensor(a, dev), MT.from_tensor(b, dev), 2, 8, 1)
    assert [Fraction(*v) for v in pairs(c)] == [(7 * x + y) * u, (7 * x - y) * u]


@pytest.mark.parametrize("case", ["even-rows", "zero-rows-and-columns", "one-odd-element", "signs"])
def test_integer_rows_sharing_powers_of_two(dev, case):
    m, k, n = 4, 5, 3
    a, b = randint(-60, 60, (m, k), seed=21), randint(-60, 60, (k, n), seed=22)
    if case == "even-rows":
        # Whole rows and columns of multiples of 2^10 and 2^3: larger shared powers.
        a[1] *= 2**10
        a[2] *= 8
        b[:, 0] *= 2**7
    elif case == "zero-rows-and-columns":
        a[0] = 0
        a[3] = 0
        b[:, 2] = 0
    elif case == "one-odd-element":
        # A row of multiples of 64 but for one odd element: nothing shared there.
        a[2] = a[2] * 64
        a[2, 4] = 7
    else:
        a = a.abs() * torch.tensor([1, -1, 1, -1, 1])
        b = -b.abs()
    check(MT.from_tensor(a, dev), MT.from_tensor(b, dev), m, k, n)


@pytest.mark.parametrize("case", ["even-rows", "signs", "zeros", "one-prime-wide", "denominators-of-minus-one"])
def test_reduced_integer_operands(dev, case):
    # Integers over 1, as products leave them: one prime holds each numerator, no table
    # lookup finds the denominator, and the row's shared power of two comes from the
    # numerators alone. Rows of 19 read two blocks of eight lanes and a ragged end.
    m, k, n = 5, 19, 9
    a, b = randint(-900, 900, (m, k), seed=31), randint(-900, 900, (k, n), seed=32)
    if case == "even-rows":
        a[0] *= 2**12
        a[3] = a[3] * 4 + 2
        b[:, 1] *= 2**20
    elif case == "signs":
        a = -a.abs()
        b[::2] = b[::2].abs()
    elif case == "zeros":
        a[1] = 0
        a[2, :8] = 0
        b[:, 4] = 0
    elif case == "one-prime-wide":
        a[4] = 2**30 - 1 - torch.arange(k)
        b[:, 2] = -(2**29) + torch.arange(k)
    # Integers over -1 in some rows: those entries keep the negative product of their row's
    # and column's denominators.
    sa = [-1 if case == "denominators-of-minus-one" and i // k in (1, 4) else 1 for i in range(m * k)]
    A = raw([(int(v), d) for v, d in zip(a.reshape(-1).tolist(), sa)], (m, k), dev)
    B = raw([(int(v), 1) for v in b.reshape(-1).tolist()], (k, n), dev)
    check(A, B, m, k, n)


@pytest.mark.parametrize("case", ["integers-times-floats", "high-powers", "fractions-over-shared-powers",
                                  "wide-against-narrow"])
def test_shared_powers_of_two_in_fractions(dev, case):
    m, k, n = 3, 4, 2
    if case == "integers-times-floats":
        a = MT.from_tensor(randint(-9, 9, (m, k), seed=30), dev)
        b = MT.from_tensor(rand64(k, n, seed=31), dev)
        check(a, b, m, k, n)
        return
    if case == "high-powers":
        # Integers of 2^200 and more: a row shares 200 trailing zeros that go back on its entries.
        fa = [(x * 2**200, 1) for x in range(-5, 7)]
        fb = [(2**150 + x, 1) for x in range(8)]
    elif case == "fractions-over-shared-powers":
        # Numerators carrying more factors of two than their denominators: the cleared values
        # are divided by powers past the row's shift.
        fa = [((2 * x + 1) * 2**(40 + x % 3), (-1) ** x * 2**(x % 5)) for x in range(m * k)]
        fb = [((3 - x) * 2**30, 2**(7 + x % 2)) for x in range(k * n)]
    else:
        fa = [(1, 2**300), (3, 1), (2**100, 1), (5, 2**3)] + powers(40, (m - 1) * k, 0, 4)
        fb = [(x * 2**64, 1) for x in range(1, k * n + 1)]
    check(raw(fa, (m, k), dev), raw(fb, (k, n), dev), m, k, n)


@pytest.mark.parametrize("case", ["signed-powers", "wide-shifts", "shared-powers"])
def test_long_rows_of_dyadic_fractions(dev, case):
    # Rows long enough for the CPU's eight-lane loops and their tails, with negative
    # denominators and rows whose numerators share powers of two spread through them.
    m, k, n = 3, 19, 2
    if case == "signed-powers":
        fa, fb = powers(50, m * k, 0, 40), powers(51, k * n, 0, 40)
    elif case == "wide-shifts":
        fa, fb = powers(52, m * k, 0, 250), powers(53, k * n, 0, 120)
    else:
        fa = [(x * 2**(20 + x % 7), (-1) ** x * 2**(x % 11)) for x in range(1, m * k + 1)]
        fb = [(x * 2**9, -(2**(x % 4))) for x in range(-k, k * n - k)]
    check(raw(fa, (m, k), dev), raw(fb, (k, n), dev), m, k, n)


@pytest.mark.parametrize("layout", ["transposed", "sliced", "both-transposed"])
def test_strided_integer_operands(dev, layout):
    # Operands larger than the 32 x 32 tiles in which the CPU copies strided rows into place.
    a, b = randint(-70, 70, (37, 41), seed=60), randint(-70, 70, (37, 35), seed=61)
    A, B = MT.from_tensor(a, dev), MT.from_tensor(b, dev)
    if layout == "transposed":
        check(A.transpose(0, 1), B, 41, 37, 35)
    elif layout == "sliced":
        C = MT.from_tensor(randint(-70, 70, (43, 35), seed=62), dev)
        S = MT(A.num[:, ::2, 1::3], A.denom[:, ::2, 1::3])
        T = MT(C.num[:, 1::3, ::2], C.denom[:, 1::3, ::2])
        check(S, T, 19, 14, 18)
    else:
        check(B.transpose(0, 1), A, 35, 37, 41)


@pytest.mark.parametrize("kind", ["integers", "dyadic"])
def test_entries_that_cancel(dev, kind):
    # Each row of A is orthogonal to some columns of B: exact zeros among non-zero entries,
    # which keep the row's and column's shared powers of two out of their numerators.
    a = torch.tensor([[3, -3, 6, 0], [1, 1, 1, 1], [8, 4, -4, 12]], dtype=torch.int64)
    b = torch.tensor([[1, 2, 0], [1, -2, 5], [0, 0, 7], [-1, 2, 1]], dtype=torch.int64)
    if kind == "integers":
        c = check(MT.from_tensor(a, dev), MT.from_tensor(b, dev), 3, 4, 3)
    else:
        # Scaled row by row and column by column, which keeps the zeros.
        fa = [(int(v) * 2**10, 2**(3 + i // 4)) for i, v in enumerate(a.reshape(-1).tolist())]
        fb = [(int(v), -(2**(i % 3))) for i, v in enumerate(b.reshape(-1).tolist())]
        c = check(raw(fa, (3, 4), dev), raw(fb, (4, 3), dev), 3, 4, 3)
    assert sum(Fraction(*e) == 0 for e in pairs(c)) >= 2


@pytest.mark.parametrize("bits", [95, 117])
def test_numerators_of_four_words(dev, bits):
    # Odd cleared values of 95 and 117 bits: Z' of ~192 and ~236 bits, up to the widest the word
    # path takes, on either side of negative and positive signs; fifteen entries, so that both
    # the eight-lane loop and its tail finish some.
    g = torch.Generator().manual_seed(70)
    odd = lambda: (int(torch.randint(1, 2**40, (1,), generator=g)) << (bits - 40)) | 1
    fa = [((-1) ** i * odd(), 2 ** (i % 2)) for i in range(12)]
    fb = [((-1) ** (i // 2) * odd(), 1) for i in range(20)]
    check(raw(fa, (3, 4), dev), raw(fb, (4, 5), dev), 3, 4, 5)


def test_integer_entries_at_the_primes(dev):
    # Entries just below, at and above each prime, up to 2^31 - 1: one 31-bit chunk, whose
    # residue is the chunk below p and the chunk less p from p up.
    targets = sorted({t for p in PRIMES for t in (p - 2, p, p + 2)} | {2**31 - 3, 2**31 - 1})
    targets += [-t for t in targets[::7]]
    rows = [[2**28] * 7 + [t - 7 * 2**28] if t > 0 else [-(2**28)] * 7 + [t + 7 * 2**28] for t in targets]
    a, b = torch.tensor(rows, dtype=torch.int64), torch.ones(8, 1, dtype=torch.int64)
    c = check(MT.from_tensor(a, dev), MT.from_tensor(b, dev), len(rows), 8, 1)
    assert [Fraction(*v) for v in pairs(c)] == targets


@pytest.mark.parametrize("case", ["lowest-terms-fractions", "wide-after-narrow", "narrow-after-wide"])
def test_direct_products_eight_entries_at_a_time(dev, case):
    # Rows of sixteen entries whose cleared values are small enough for one float64 GEMM: the
    # CPU forms eight entries at once. Long rows of 2^30..2^40 denominators leave the
    # unreduced range, so entries come out in lowest terms with numerators divided by their
    # shared powers of two; integers of 28 bits times 10-bit ones give entries past 2^31 in
    # rows before or after narrow ones.
    if case == "lowest-terms-fractions":
        m, k, n = 3, 20, 16
        fa, fb = powers(80, m * k, 30, 40), powers(81, k * n, 30, 40)
        check(raw(fa, (m, k), dev), raw(fb, (k, n), dev), m, k, n)
        return
    m, k, n = 4, 8, 16
    a, b = randint(-(2**28), 2**28, (m, k), seed=82), randint(-(2**10), 2**10, (k, n), seed=83)
    narrow = slice(0, 2) if case == "wide-after-narrow" else slice(2, 4)
    a[narrow] = a[narrow] % 7 - 3
    check(MT.from_tensor(a, dev), MT.from_tensor(b, dev), m, k, n)


def test_entries_on_the_congruence_bound(dev):
    # Rows of 600 halves against columns of integers: w = 599, so entries of twenty bits sit
    # on the bound itself, where only the comparison with (M - 1) / 2 decides between the
    # unreduced entry and lowest terms (Z = 1048572 fits, 1048573 does not).
    top = HALF >> 599
    targets = [top, top + 1, 2**19, 2**20 - 1, -top, -top - 1, 3, 2**19 + 1]
    k, n = 600, len(targets)
    fa = [(t, 2) for t in targets] + [(1, 2)] * (k - n)
    fa += [(t, -2 if q < 301 else 2) for q, t in enumerate(targets + [1] * (k - n))]
    fb = [(1 if q == j else 0, 1) for q in range(k) for j in range(n)]
    c = check(raw(fa, (2, k), dev), raw(fb, (k, n), dev), 2, k, n)
    assert [Fraction(*v) for v in pairs(c)][:n] == [Fraction(t, 2) for t in targets]


def test_small_products_from_several_threads(dev):
    # Small products keep their side buffers in a per-thread scratch block and run without the
    # GIL: threads multiplying at once must each get their own product.
    from concurrent.futures import ThreadPoolExecutor
    # Sizes that differ by thread, so that one thread's buffers would overlap another's.
    ops = [(MT.from_tensor(rand64(4 + 5 * s, 16 + 3 * s, seed=s), dev),
            MT.from_tensor(randint(-99, 99, (16 + 3 * s, 10), seed=s), dev)) for s in range(6)]
    want = [a.matmul(b) for a, b in ops]
    assert [Fraction(*v) for v in pairs(want[1])] == [
        sum(x * y for x, y in zip(r, c)) for r, c in
        ((r, c) for r in grid([Fraction(*v) for v in pairs(ops[1][0])], 9, 19)
         for c in zip(*grid([Fraction(*v) for v in pairs(ops[1][1])], 19, 10)))]
    with ThreadPoolExecutor(6) as pool:
        got = list(pool.map(lambda ab: [ab[0].matmul(ab[1]) for _ in range(300)], ops))
    for g, w in zip(got, want):
        assert all(torch.equal(c.num, w.num) and torch.equal(c.denom, w.denom) for c in g)
