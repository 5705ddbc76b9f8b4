"""Differential fuzzing: random programs over exact tensors, checked against a Fraction oracle.

A case is a short random program: records built from integers, fractions, float and integer
tensors (contiguous or not) and raw residues, then element-wise arithmetic, powers, shape
operations, reductions, products and small-matrix algebra on them. The oracle never asks the
library: it keeps, for every element, the exact value and the numerator/denominator pair the
unreduced formulas hold, so it knows which results must come back exact (and with which
residues) and the only case where OverflowError is allowed: a result whose lowest terms leave
the range. Each result is read back three ways: a CRT of its residues written here, to_float
against a float32 rounding done here in integers, and to_rational of elements picked through
the interface.

Long runs (seed and case index reproduce a failure; the report is a runnable program):

    python tests/test_fuzz.py --cases 100000 --seed N [--start S] [--focus F] [--case K] [--stats]

KORVEX_GENERIC_KERNELS=1 in the environment fuzzes the ATen formulas other devices run, and
KORVEX_CPU_LANES=baseline or avx2 the CPU builds narrower than this CPU's widest.
"""
import argparse
import collections
import hashlib
import inspect
import itertools
import math
import operator
import random
import os
import re
import struct
import subprocess
import sys
import time
from fractions import Fraction

import pytest
import torch

from korvex.vla import modular_cuda as mc

MT = mc.ModularTensor
PRIMES = [int(p) for p in mc.PRIMES.tolist()]
M = math.prod(PRIMES)
HALF = (M - 1) // 2
_CRT = [(M // p) * pow(M // p, -1, p) % M for p in PRIMES]
FOCI = ("arith", "reduce", "matrix", "edge", "mixed")


def raw(pairs, shape):
    """A record holding exactly these (numerator, denominator) pairs, in row-major order."""
    num = torch.tensor([[n % p for n, _ in pairs] for p in PRIMES], dtype=torch.int64)
    den = torch.tensor([[d % p for _, d in pairs] for p in PRIMES], dtype=torch.int64)
    return MT(num.reshape(len(PRIMES), *shape), den.reshape(len(PRIMES), *shape))


def crt(rs):
    x = sum(r * c for r, c in zip(rs, _CRT)) % M
    return x - M if x > HALF else x


def fits(n, d=1):
    return abs(n) <= HALF and 0 < abs(d) <= HALF


def lowest(v):
    return (v.numerator, v.denominator)


def f32(q):
    """The float32 nearest to a Fraction, ties to even, in integers only: rounding the nearest
    double again would round twice."""
    if q == 0:
        return 0.0
    n, d = abs(q.numerator), q.denominator
    e = n.bit_length() - d.bit_length()
    if (n << max(0, -e)) < (d << max(0, e)):
        e -= 1
    qe = max(e - 23, -149)
    num, den = (n, d << qe) if qe >= 0 else (n << -qe, d)
    m, r = divmod(num, den)
    if 2 * r > den or (2 * r == den and m & 1):
        m += 1
    val = math.inf if m.bit_length() + qe > 128 else math.ldexp(m, qe)
    return -val if q < 0 else val


def decompose(x):
    """The (numerator, denominator) a float is ingested as: significand over a power of two."""
    if x == 0:
        return (0, 1)
    bits = struct.unpack(">Q", struct.pack(">d", x))[0]
    eb, mant = (bits >> 52) & 2047, bits & (2**52 - 1)
    m, e = (mant, -1074) if eb == 0 else (mant | 2**52, eb - 1075)
    m = -m if bits >> 63 else m
    return (m << e, 1) if e >= 0 else (m, 1 << -e)


# ---------------------------------------------------------------- the oracle

class Unholdable(Exception):
    """The exact result has no representation in range: OverflowError is the right answer."""


def settle(v, doc):
    """A result element: its value, and the pair it must hold where the unreduced formulas
    never left the range on the way (None: any pair of that value, lowest terms or another)."""
    if not fits(v.numerator, v.denominator):
        raise Unholdable
    return (v, guard(doc))


def guard(p):
    """An intermediate pair, or None once it has left the range: residues alone would still
    carry it, but the library may then normalise, so later pairs are taken from what it holds."""
    return p if p is not None and fits(*p) else None


def strides(shape):
    return [math.prod(shape[i + 1:]) for i in range(len(shape))]


def positions(shape):
    return itertools.product(*[range(s) for s in shape])


class Arr:
    """Oracle tensor: row-major entries (exact value, held pair or None where unknown)."""

    def __init__(self, shape, ents):
        self.shape, self.ents = tuple(shape), list(ents)
        assert len(self.ents) == math.prod(self.shape)

    def at(self, idx):
        return self.ents[sum(i * s for i, s in zip(idx, strides(self.shape)))]

    def values(self):
        return [v for v, _ in self.ents]

    def remap(self, shape, source):
        """The Arr of `shape` whose entry at each position is ours at source(position)."""
        return Arr(shape, [self.at(source(o)) for o in positions(shape)])

    def permute(self, perm):
        return self.remap([self.shape[p] for p in perm], lambda o: [o[perm.index(k)] for k in range(len(perm))])

    def transpose(self, d0, d1):
        perm = list(range(len(self.shape)))
        perm[d0], perm[d1] = perm[d1], perm[d0]
        return self.permute(perm)

    def reshape(self, shape):
        return Arr(shape, self.ents)

    def broadcast(self, shape):
        off = len(shape) - len(self.shape)
        return self.remap(shape, lambda o: [0 if s == 1 else o[k + off] for k, s in enumerate(self.shape)])

    def index_select(self, dim, idx):
        shape = self.shape[:dim] + (len(idx),) + self.shape[dim + 1:]
        return self.remap(shape, lambda o: o[:dim] + (idx[o[dim]],) + o[dim + 1:])

    def gather(self, dim, index, ishape):
        flat = Arr(ishape, index)
        return self.remap(ishape, lambda o: o[:dim] + (flat.at(o),) + o[dim + 1:])

    def lanes(self, dim):
        """Entries along `dim` for every position of the other axes, in row-major order."""
        t, n = self.permute([a for a in range(len(self.shape)) if a != dim] + [dim]), self.shape[dim]
        return [t.ents[i:i + n] for i in range(0, len(t.ents), n)] if n else []


def bshape(s1, s2):
    axes = list(itertools.zip_longest(reversed(s1), reversed(s2), fillvalue=1))
    if any(a != b and 1 not in (a, b) for a, b in axes):
        return None
    return tuple(reversed([a if b == 1 else b for a, b in axes]))


def known(f):
    """A formula on two (numerator, denominator) pairs, unknown (None) where either one is."""
    return lambda x, y: None if x is None or y is None else f(*x, *y)


# Each operator: the exact value, and the pair the unreduced formula gives.
E_OPS = {"+": (operator.add, known(lambda a, b, c, d: (a * d + b * c, b * d))),
         "-": (operator.sub, known(lambda a, b, c, d: (a * d - b * c, b * d))),
         "*": (operator.mul, known(lambda a, b, c, d: (a * c, b * d))),
         "/": (operator.truediv, known(lambda a, b, c, d: (a * d, b * c)))}
P_ADD, P_MUL = E_OPS["+"][1], E_OPS["*"][1]


def o_binary(a, b, op):
    shape, (fv, fp) = bshape(a.shape, b.shape), E_OPS[op]
    return Arr(shape, [settle(fv(x[0], y[0]), fp(x[1], y[1]))
                       for x, y in zip(a.broadcast(shape).ents, b.broadcast(shape).ents)])


def o_unary(a, fv, fp):
    return Arr(a.shape, [settle(fv(v), None if p is None else fp(*p)) for v, p in a.ents])


def one_element(shape):
    return len(shape) == 0 or tuple(shape) == (1,)


def pow_pair(v, p, k, one):
    """Square-and-multiply normalises one-element records after every product; a negative
    power is 1 over the positive one, numerator and denominator swapped."""
    if k < 0:
        q = pow_pair(v, p, -k, one)
        return None if q is None else (q[1], q[0])
    if k < 2 or one:
        return (1, 1) if k == 0 else p if k == 1 else lowest(v ** k)
    return None if p is None else (p[0] ** k, p[1] ** k)


def o_pow(a, k):
    one = one_element(a.shape)
    return Arr(a.shape, [settle(Fraction(1) if k == 0 else v ** k, pow_pair(v, p, k, one)) for v, p in a.ents])


def tree(pairs):
    """Pairwise halving: 0+1, 2+3, ..., an odd last element carried to the end."""
    pairs = list(pairs)
    while len(pairs) > 1:
        odd = pairs[-1:] if len(pairs) % 2 else []
        pairs = [guard(P_ADD(pairs[i], pairs[i + 1])) for i in range(0, len(pairs) - 1, 2)] + odd
    return pairs[0]


def o_sum_dim(a, dim):
    shape = a.shape[:dim] + a.shape[dim + 1:]
    return Arr(shape, [settle(sum(v for v, _ in lane), tree(p for _, p in lane)) for lane in a.lanes(dim)])


def o_sum(a):
    """A full reduction: lowest terms, except that one element comes back as it was held."""
    if len(a.ents) == 1:
        return Arr((1,), [settle(*a.ents[0])])
    v = sum(a.values(), Fraction(0))
    return Arr((1,), [settle(v, lowest(v) if a.ents else None)])


def o_dot(a, b):
    shape = bshape(a.shape, b.shape)
    ab = zip(a.broadcast(shape).ents, b.broadcast(shape).ents)
    return o_sum(Arr((math.prod(shape),), [(x[0] * y[0], P_MUL(x[1], y[1])) for x, y in ab]))


def o_prod(a):
    if not a.ents:
        return Arr((1,), [(Fraction(1), None)])
    v, p = a.ents[0]
    for w, q in a.ents[1:]:
        v, p = v * w, guard(P_MUL(p, q))
    return Arr((1,), [settle(v, p)])


def o_running(a, add):
    """Running sums and products start from lowest terms again every 32 elements."""
    v, p, out = Fraction(0 if add else 1), (0 if add else 1, 1), []
    for i, (w, q) in enumerate(a.ents):
        v, p = (v + w, guard(P_ADD(p, q))) if add else (v * w, guard(P_MUL(p, q)))
        out.append(settle(v, p))
        p = lowest(v) if i % 32 == 31 else p
    return Arr(a.shape, out)


def o_matmul(a, b):
    (m, k), (_, n) = a.shape, b.shape
    out = []
    for i, j in positions((m, n)):
        terms = [(a.at((i, t))[0] * b.at((t, j))[0], P_MUL(a.at((i, t))[1], b.at((t, j))[1])) for t in range(k)]
        out.append(settle(sum(v for v, _ in terms), tree(guard(p) for _, p in terms)))
    return Arr((m, n), out)


def det_value(rows):
    rows, d = [list(r) for r in rows], Fraction(1)
    for c in range(len(rows)):
        piv = next((r for r in range(c, len(rows)) if rows[r][c] != 0), None)
        if piv is None:
            return Fraction(0)
        if piv != c:
            rows[c], rows[piv], d = rows[piv], rows[c], -d
        d *= rows[c][c]
        for r in range(c + 1, len(rows)):
            f = rows[r][c] / rows[c][c]
            rows[r] = [x - f * y for x, y in zip(rows[r], rows[c])]
    return d


def matrix(a):
    return [[a.at((i, j))[0] for j in range(a.shape[0])] for i in range(a.shape[0])]


def o_det(a):
    if a.shape[0] == 1:
        return o_sum(a)
    d = det_value(matrix(a))
    return Arr((1,), [settle(d, lowest(d))])


def o_trace(a):
    return o_sum(Arr((a.shape[0],), [a.at((i, i)) for i in range(a.shape[0])]))


def o_inv(a):
    """A 2 x 2 inverse is the adjugate over the determinant in lowest terms."""
    if a.shape[0] == 1:
        return o_unary(a, lambda v: 1 / v, lambda n, d: (d, n))
    (av, ap), (bv, bp), (cv, cp), (dv, dp) = a.ents
    det = av * dv - bv * cv
    dn, dd = lowest(det)
    neg = lambda p: None if p is None else (-p[0], p[1])   # noqa: E731
    adj = [(dv, dp), (-bv, neg(bp)), (-cv, neg(cp)), (av, ap)]
    return Arr((2, 2), [settle(v / det, None if p is None else (p[0] * dd, p[1] * dn)) for v, p in adj])


def o_solve(a, b):
    """Cramer's rule, in lowest terms."""
    A, rhs = matrix(a), b.values()
    n, det = len(A), det_value(A)
    xs = [det_value([[rhs[r] if c == i else A[r][c] for c in range(n)] for r in range(n)]) / det for i in range(n)]
    return Arr((n,), [settle(x, lowest(x)) for x in xs])


# ---------------------------------------------------------------- random values

INTS = {"small": lambda rng: rng.randint(-9, 9), "mid": lambda rng: rng.randint(-2**40, 2**40),
        "big": lambda rng: rng.choice((1, -1)) * rng.getrandbits(rng.randint(300, 618)),
        "edge": lambda rng: rng.choice((1, -1)) * rng.choice((HALF, HALF - rng.randint(1, 9), HALF // rng.randint(2, 9),
                                                               2**618, 2**618 - 1, 2**rng.randint(600, 618))),
        "over": lambda rng: rng.choice((1, -1)) * rng.getrandbits(rng.randint(620, 700))}


def rand_int(rng, mag):
    return INTS[mag](rng)


# Big (numerator, denominator) pairs: integers, fractions, tiny dyadics, next to the edge, big denominators.
BIG_PAIRS = (lambda rng: (rand_int(rng, "big"), 1),
             lambda rng: (rand_int(rng, "big"), abs(rand_int(rng, "big")) or 1),
             lambda rng: (rng.randrange(1, 2**20, 2) * rng.choice((1, -1)), 2**rng.randint(100, 618)),
             lambda rng: (rand_int(rng, "edge"), rng.choice((1, 1, 3, 2**rng.randint(1, 300)))),
             lambda rng: (rand_int(rng, "small") or 1, abs(rand_int(rng, rng.choice(("big", "edge")))) or 1))


def rand_pair(rng, big=0.3, over=0.0):
    """An unreduced (numerator, denominator), sometimes with a common factor or both negated."""
    r = rng.random()
    if r < over:
        n, d = rand_int(rng, "over"), rng.choice((1, 3, rng.getrandbits(rng.randint(620, 700)) | 1))
    elif r < over + big:
        n, d = rng.choice(BIG_PAIRS)(rng)
    else:
        n = rand_int(rng, rng.choice(("small", "small", "mid")))
        d = abs(rand_int(rng, rng.choice(("small", "mid")))) or 1
    if rng.random() < 0.2:
        g = rng.choice((2, 3, 6, 2**rng.randint(1, 400), rng.getrandbits(rng.randint(2, 300)) | 1))
        n, d = n * g, d * g
    return (-n, -d) if rng.random() < 0.15 else (n, d)


def held_pair(rng, big=0.3):
    """A pair that fits as it stands (what raw residues can hold)."""
    while True:
        p = rand_pair(rng, big)
        for q in (p, lowest(Fraction(*p))):
            if fits(*q):
                return q


def rand_float(rng, dtype, wild, span=560):
    r = rng.random()
    if dtype == "float64":
        if r < 0.3:
            return rng.gauss(0, 1) * 2.0 ** rng.randint(-20, 20)
        if r < 0.4:
            return float(rng.randint(-100, 100))
        if r < 0.9 or not wild:
            e = rng.randint(-span, span) if not wild or rng.random() < 0.9 else rng.randint(-680, 640)
            return math.ldexp(rng.getrandbits(53) * rng.choice((1, -1)), e - 53)
        return rng.choice((2.0**-600, -3 * 2.0**-580, 2.0**618, 2.0**619, 1e300, 5e-324, 2.0**-1022,
                           -0.0, 2.0**-566, 2.0**-567, float.fromhex("0x1.fffffffffffffp+617")))
    if dtype == "float32":
        if r < 0.3:
            return float(torch.tensor(rng.gauss(0, 1) * 2.0 ** rng.randint(-10, 10), dtype=torch.float32))
        if r < 0.85 or not wild:
            while not math.isfinite(x := struct.unpack(">f", struct.pack(">I", rng.getrandbits(32)))[0]):
                pass
            return x
        return rng.choice((2.0**-140, 2.0**-149, -2.0**-126, 3.4028234663852886e38, -0.0, 1.0))
    bits = rng.getrandbits(16)
    x = struct.unpack(">e", struct.pack(">H", bits))[0] if dtype == "float16" else \
        struct.unpack(">f", struct.pack(">I", bits << 16))[0]
    return x if math.isfinite(x) else 1.5


# ---------------------------------------------------------------- programs

# Per focus: the share of big values, of values beyond the range and of wild floats in new
# records, and how often each kind of operation is drawn.
FOCUS = {
    "arith": (0.25, 0.0, 0.1, {"binary": 5, "scalar": 2, "unary": 3, "shape": 2, "sum": 1, "prod": 1}),
    "reduce": (0.2, 0.0, 0.1, {"binary": 2, "unary": 1, "shape": 1, "sum": 4, "dot": 3, "running": 3, "prod": 2}),
    "matrix": (0.15, 0.0, 0.1, {"binary": 1, "shape": 1, "matmul": 5, "linalg": 4, "sum": 1}),
    "edge": (0.6, 0.04, 0.3, {"binary": 2, "unary": 1, "sum": 1, "dot": 1, "matmul": 1, "linalg": 1, "prod": 1,
                              "running": 1, "edge": 8}),
    "mixed": (0.3, 0.04, 0.3, {"binary": 3, "scalar": 1, "unary": 2, "shape": 2, "sum": 2, "dot": 1, "running": 1,
                               "prod": 1, "matmul": 2, "linalg": 2, "edge": 1}),
}
EDGES = ("dot", "matmul", "sum", "products", "pow", "det", "inverse", "growth", "rounding", "cancel")


class Skip(Exception):
    """An operand could not be made (an expected error, or a finding): the operation is dropped."""


def must(reg):
    if reg is None:
        raise Skip
    return reg


def compare(rec, arr):
    """A record against the oracle's entries: the first fault as (what, detail) or None, and the
    first pair held other than the unreduced formulas give (a note, not a fault). The entries
    then take the pairs held, so that later pairs derive from them."""
    if not isinstance(rec, MT) or tuple(rec.shape) != arr.shape:
        got = tuple(rec.shape) if isinstance(rec, MT) else type(rec).__name__
        return ("wrong shape", f"expected {arr.shape}, got {got}"), None
    try:
        num, den = (t.reshape(len(PRIMES), -1).T.tolist() for t in (rec.num, rec.denom))
    except Exception as e:   # noqa: BLE001
        return ("unreadable residues", repr(e)), None
    note = None
    for k, ((v, p), rn, rd) in enumerate(zip(arr.ents, num, den)):
        if any(not 0 <= r < q for r, q in zip(rn + rd, PRIMES + PRIMES)):
            return ("residues outside [0, p)", f"element {k}"), note
        n, d = crt(rn), crt(rd)
        if d == 0 or Fraction(n, d) != v:
            return ("wrong value (residues)", f"element {k}: expected {v}, holds {n}/{d}"), note
        if note is None and p not in (None, (n, d)):
            note = f"element {k} = {v}: expected the pair {p}, holds {(n, d)}"
        arr.ents[k] = (v, (n, d))
    return None, note


def misjudged(error, expect, special):
    """What is wrong with the way a statement ended, as (what, detail), or None where it is right:
    OverflowError only for results out of range (or an inf in the input), ValueError only for nan."""
    if isinstance(error, OverflowError):
        if special == "inf" or (expect is None and "exceeds the exact range" in str(error)):
            return None
        return "OverflowError with a different message" if expect is None else "spurious OverflowError", f"{error}"
    if isinstance(error, ValueError):
        return None if special == "nan" else ("unexpected ValueError", f"{error!r}")
    if error is not None:
        return f"unexpected {type(error).__name__}", f"{error!r}"
    if special:
        return f"no error for {special} in a float tensor", ""
    return ("no OverflowError although the exact result leaves the range", "") if expect is None else None


class Case:
    def __init__(self, seed, index, focus=None):
        self.seed, self.index = seed, index
        self.focus = focus or FOCI[index % len(FOCI)]
        self.rng = random.Random(f"{seed}/{index}/{self.focus}")
        self.env = {"MT": MT, "mc": mc, "torch": torch, "raw": raw}
        self.lines, self.deps, self.regs = [], {}, []
        self.failure = None   # a wrong value or error: the program stops there
        self.notes = []       # exact values held in another form than the unreduced formulas give
        self.stats = collections.Counter()
        self.big, self.over, self.wild, self.weights = FOCUS[self.focus]

    # -- bookkeeping

    def fail(self, what, code, detail, deps, note=False):
        f = {"seed": self.seed, "case": self.index, "focus": self.focus, "what": what, "op": code,
             "detail": detail, "program": [self.lines[i] for i in sorted(deps)]}
        if note and not self.notes:
            self.notes.append(f)
        elif not note and self.failure is None:
            self.failure = f

    def step(self, code, oracle, operands=(), special=None):
        """Runs one statement; the oracle thunk gives the Arr it must produce (or Unholdable).
        `special` names a non-finite float in the input: inf must raise OverflowError, nan
        ValueError (or OverflowError where another element cannot be held). Gives the new
        (register, Arr), or None where the statement raised or is wrong."""
        if self.failure:
            return None
        try:
            expect = oracle()
        except Unholdable:
            expect = None
        line = len(self.lines)
        name, deps = f"r{line}", set().union({line}, *(self.deps[o] for o in operands))
        self.lines.append(f"{name} = {code}")
        try:
            rec, error = eval(code, self.env), None
        except Exception as e:   # noqa: BLE001 - any exception is judged below
            rec, error = None, e
        wrong = misjudged(error, expect, special)
        if wrong:
            self.fail(wrong[0], code, wrong[1], deps)
        elif error is None:
            self.env[name], self.deps[name] = rec, deps
            self.check(name, rec, expect, code, deps)
        outcome = ("finding" if self.failure else "checked" if error is None else
                   "refused: nan/inf" if special else "refused: out of range")
        self.stats[(op_name(code), outcome)] += 1
        if outcome != "checked":
            return None
        self.stats[("elements checked", "")] += len(expect.ents)
        self.regs.append((name, expect))
        return self.regs[-1]

    def check(self, name, rec, arr, label, deps):
        fault, note = compare(rec, arr)
        if note:
            self.fail("unreduced pair not kept although it fits", label, note, deps, note=True)
        if fault:
            return self.fail(fault[0], label, fault[1], deps)
        code = f"{name}.to_float()"
        try:
            got = rec.to_float()
            got = got.reshape(-1).tolist() if got.dtype == torch.float32 else [f"dtype {got.dtype}"]
        except Exception as e:   # noqa: BLE001
            return self.fail("to_float raised", code, repr(e), deps)
        want = [f32(v) for v in arr.values()]
        if got != want:
            k = next((i for i, (g, w) in enumerate(zip(got, want)) if g != w), None)
            detail = (f"length {len(got)} for {len(want)} elements" if k is None else
                      f"element {k} = {arr.ents[k][0]}: expected {want[k]!r}, got {got[k]!r}")
            return self.fail("to_float not the correctly rounded float32", code, detail, deps)
        for k in self.rng.sample(range(len(arr.ents)), min(2, len(arr.ents))):
            code = self.pick_code(name, arr.shape, k)
            try:
                got = eval(code, self.env)
            except Exception as e:   # noqa: BLE001
                return self.fail("to_rational raised", code, repr(e), deps)
            if got != lowest(arr.ents[k][0]):
                return self.fail("to_rational wrong", code, f"expected {lowest(arr.ents[k][0])}, got {got}", deps)

    def pick_code(self, name, shape, k):
        """Reads element k back through the selection operations."""
        if one_element(shape):
            return f"{name}.to_rational()"
        idx = [(k // s) % n for s, n in zip(strides(shape), shape)]
        way = self.rng.randrange(4)
        if way == 0 and len(shape) == 2:
            return (f"{name}.index_select(0, torch.tensor([{idx[0]}])).index_select(1, torch.tensor([{idx[1]}]))"
                    f".reshape(1).to_rational()")
        return name + {1: f".flatten().gather(0, torch.tensor([{k}]))",
                       2: f".reshape(-1).index_select(0, torch.tensor([{k}])).sum()"}.get(
            way, f".flatten().index_select(0, torch.tensor([{k}]))") + ".to_rational()"

    def attempt(self, op):
        try:
            op()
        except Skip:
            pass

    # -- leaves

    def rand_shape(self, ndim=None):
        rng = self.rng
        if ndim is None and rng.random() < 0.02:
            return rng.choice(((0,), (2, 0), (0, 3)))
        if ndim is None:
            r = rng.random()
            ndim = 0 if r < 0.15 else 1 if r < 0.6 else 2 if r < 0.93 else 3
        if ndim == 1 and rng.random() < 0.15:
            return (rng.randint(30, 140),)
        return tuple(rng.randint(1, 5 if ndim < 3 else 3) for _ in range(ndim))

    def leaf(self, shape):
        """A new record made one of the ways records are made: (register, Arr) or None."""
        rng, shape, size = self.rng, tuple(shape), math.prod(shape)
        kind = rng.choices(("fraction", "tensor", "raw", "int"), (3, 5, 3, 1))[0]
        if kind == "fraction" or (kind == "raw" and size > 150):
            n, d = rand_pair(rng, self.big, self.over)
            r = rng.random()
            if r < 0.1 and d == 1:
                code = f"MT.from_int({n}, {shape!r}, 'cpu')"
            elif r < 0.13:
                n, d = rng.choice(((0, 1), (1, 1)))
                code = f"MT.{'zeros' if n == 0 else 'ones'}({shape!r}, 'cpu')"
            else:
                code = f"MT.from_fraction({n}, {d}, {shape!r}, 'cpu')"
            return self.step(code, lambda: Arr(shape, [settle(Fraction(n, d), (n, d))] * size))
        if kind == "raw":
            return self._raw([held_pair(rng, self.big) for _ in range(size)], shape)
        if kind == "int":
            dt = rng.choice(("int64", "int64", "int32", "bool"))
            lim = {"int64": 2**63, "int32": 2**31, "bool": 1}[dt]
            vals = [rng.choice((rng.randint(-9, 9), rng.randrange(-lim, lim), -lim, lim - 1)) if dt != "bool"
                    else rng.random() < 0.5 for _ in range(size)]
            # Integers that are doubles go the way floats do (3 as 3*2^51 / 2^51); the others as v / 1.
            pair = lambda v: decompose(float(v)) if abs(v) < 2**1000 and int(float(v)) == v else (v, 1)   # noqa: E731
            return self.step(f"MT.from_tensor(torch.tensor({vals!r}, dtype=torch.{dt}).reshape({shape!r}), 'cpu')",
                             lambda: Arr(shape, [settle(Fraction(int(x)), pair(int(x))) for x in vals]))
        dt = rng.choices(("float64", "float32", "float16", "bfloat16"), (9, 7, 1, 1))[0]
        wild = rng.random() < self.wild
        layout = rng.choice(("plain", "plain", "T", "step", "expand")) if shape else "plain"
        base, suffix = shape, ""
        if layout == "T" and len(shape) == 2:
            base, suffix = shape[::-1], ".T"
        elif layout == "step":
            base, suffix = (2 * shape[0],) + shape[1:], "[::2]"
        elif layout == "expand" and shape[0] > 1:
            base, suffix = (1,) + shape[1:], f".expand({', '.join(map(str, shape))})"
        # Narrow exponent spans keep sums and products of doubles inside the range.
        span = rng.choice((30, 120, 250, 560))
        vals = [rand_float(rng, dt, wild, span) for _ in range(math.prod(base))]
        if wild and vals and rng.random() < 0.1:
            vals[rng.randrange(len(vals))] = rng.choice((math.inf, -math.inf, math.nan))
        tensor = f"torch.tensor({vals!r}, dtype=torch.{dt}).reshape({base!r}){suffix}"
        tensor = tensor.replace("inf", "float('inf')").replace("nan", "float('nan')")
        flat = eval(tensor, {"torch": torch}).reshape(-1).tolist()
        special = "nan" if any(map(math.isnan, flat)) else "inf" if any(map(math.isinf, flat)) else None
        # With a nan or inf in the input only the finite elements are settled: one out of range
        # makes OverflowError an accepted answer as well.
        ents = lambda: [settle(Fraction(x), decompose(x)) for x in flat if math.isfinite(x)]   # noqa: E731
        return self.step(f"MT.from_tensor({tensor}, 'cpu')", lambda: ents() if special else Arr(shape, ents()),
                         special=special)

    def _raw(self, pairs, shape):
        pairs = [p if fits(*p) else lowest(Fraction(*p)) for p in pairs]
        if all(fits(*p) for p in pairs):
            return self.step(f"raw({pairs!r}, {shape!r})", lambda: Arr(shape, [(Fraction(*p), p) for p in pairs]))
        return None

    def raw_matrix(self, rows):
        return self._raw([p for row in rows for p in row], (len(rows), len(rows[0])))

    def operand(self, want=None, ndim=None, fresh=0.35):
        """An existing register whose shape satisfies `want`, else a new leaf of `ndim` axes."""
        pool = [r for r in self.regs if want is None or want(r[1].shape)]
        if pool and self.rng.random() > fresh:
            return self.rng.choice(pool)
        return self.leaf(self.rand_shape(ndim) if want is None or ndim is not None else
                         next(s for s in iter(self.rand_shape, None) if want(s)))

    # -- operations

    def op_binary(self):
        rng = self.rng
        a = must(self.operand())
        op = rng.choice("+-*/")
        if rng.random() < 0.25:
            b = a
        else:
            shape, r = list(a[1].shape), rng.random()
            if r < 0.3 and shape:
                shape = shape[rng.randint(1, len(shape)):]
            elif r < 0.6:
                shape = [1 if rng.random() < 0.4 else s for s in shape]
            elif r < 0.7 and math.prod(shape) * 3 <= 150 and len(shape) < 3:
                shape = [rng.randint(2, 3)] + shape
            pool = [x for x in self.regs if bshape(a[1].shape, x[1].shape) is not None]
            b = rng.choice(pool) if pool and rng.random() < 0.3 else must(self.leaf(shape))
        if rng.random() < 0.5:
            a, b = b, a
        if op != "/" or 0 not in b[1].values():
            self.step(f"{a[0]} {op} {b[0]}", lambda: o_binary(a[1], b[1], op), (a[0], b[0]))

    def op_scalar(self):
        rng = self.rng
        x, arr = must(self.operand())
        k = rng.choice((rng.randint(-9, 9), rng.randint(-2**40, 2**40), rand_int(rng, "big"),
                        round(rng.uniform(-9, 9), 1)))
        op = rng.choice("+-*/")
        k = 3 if op == "/" and int(k) == 0 else k
        ka = Arr((), [(Fraction(int(k)), (int(k), 1))])
        if op != "/" and rng.random() < 0.5:
            self.step(f"{k!r} {op} {x}", lambda: o_binary(ka, arr, op), (x,))
        else:
            self.step(f"{x} {op} {k!r}", lambda: o_binary(arr, ka, op), (x,))

    def op_unary(self):
        rng = self.rng
        x, arr = must(self.operand())
        nonzero = 0 not in arr.values()
        kind = rng.choice(("neg", "square", "pow", "pow", "reciprocal"))
        if kind == "neg":
            self.step(f"-{x}", lambda: o_unary(arr, operator.neg, lambda n, d: (-n, d)), (x,))
        elif kind == "square":
            self.step(rng.choice((f"{x}.square()", f"mc.modular_square({x})", f"{x} * {x}")),
                      lambda: o_binary(arr, arr, "*"), (x,))
        elif kind == "reciprocal" and nonzero:
            self.step(rng.choice((f"{x}.reciprocal()", f"mc.modular_reciprocal({x})")),
                      lambda: o_unary(arr, lambda v: 1 / v, lambda n, d: (d, n)), (x,))
        elif kind == "pow":
            k = rng.randint(-4 if nonzero else 0, 7)
            self.step(rng.choice((f"{x} ** {k}", f"{x}.pow({k})", f"mc.modular_pow({x}, {k})")),
                      lambda: o_pow(arr, k), (x,))

    def op_shape(self):
        rng = self.rng
        x, arr = must(self.operand(want=lambda s: len(s) > 0))
        nd, n = len(arr.shape), math.prod(arr.shape)
        kind = rng.choice(("T", "transpose", "reshape", "flatten", "unsqueeze", "squeeze", "index_select", "gather"))
        code = out = None   # out: the oracle, where the result is not our entries under a new shape
        if kind in ("T", "transpose") and nd >= 2:
            d0, d1 = rng.randrange(-nd, nd), rng.randrange(-nd, nd)
            code, out = (f"{x}.T", lambda: arr.transpose(-2, -1)) if kind == "T" else \
                (f"{x}.transpose({d0}, {d1})", lambda: arr.transpose(d0, d1))
        elif kind == "reshape" and n:
            first = rng.choice([d for d in range(1, n + 1) if n % d == 0])
            shape = spell = (first, n // first) if rng.random() < 0.6 else (n,)
            if rng.random() < 0.3:
                spell = list(shape)
                spell[rng.randrange(len(spell))] = -1
            code = f"{x}.reshape({', '.join(map(str, spell)) if rng.random() < 0.5 else tuple(spell)})"
        elif kind == "flatten":
            s = rng.randrange(nd)
            e = rng.randrange(s, nd)
            shape = arr.shape[:s] + (math.prod(arr.shape[s:e + 1]),) + arr.shape[e + 1:]
            code = f"{x}.flatten({s}, {e - nd if rng.random() < 0.5 else e})"
        elif kind == "unsqueeze":
            d = rng.randint(-nd - 1, nd)
            code, shape = f"{x}.unsqueeze({d})", arr.shape[:d % (nd + 1)] + (1,) + arr.shape[d % (nd + 1):]
        elif kind == "squeeze" and rng.random() < 0.5:
            code, shape = f"{x}.squeeze()", tuple(s for s in arr.shape if s != 1)
        elif kind == "squeeze":
            d = rng.randrange(-nd, nd)
            code = f"{x}.squeeze({d})"
            shape = arr.shape if arr.shape[d] != 1 else arr.shape[:d % nd] + arr.shape[d % nd + 1:]
        elif kind in ("index_select", "gather"):
            d = rng.randrange(nd)
            if kind == "index_select" and arr.shape[d]:
                idx = [rng.randrange(arr.shape[d]) for _ in range(rng.randint(1, 4))]
                code = f"{x}.index_select({d - nd if rng.random() < 0.3 else d}, torch.tensor({idx}))"
                out = lambda: arr.index_select(d, idx)   # noqa: E731
            elif kind == "gather" and 0 not in arr.shape:
                ishape = tuple(rng.randint(1, 4) if k == d else rng.randint(1, s) for k, s in enumerate(arr.shape))
                index = [rng.randrange(arr.shape[d]) for _ in range(math.prod(ishape))]
                code = f"{x}.gather({d}, torch.tensor({index}).reshape({ishape!r}))"
                out = lambda: arr.gather(d, index, ishape)   # noqa: E731
        if code:
            self.step(code, out or (lambda: arr.reshape(shape)), (x,))

    def transposed(self, x, arr):
        """The register or, some of the time where it has two axes or more, its transpose."""
        return (f"{x}.T", arr.transpose(-2, -1)) if len(arr.shape) >= 2 and self.rng.random() < 0.3 else (x, arr)

    def op_sum(self):
        rng = self.rng
        x, arr = must(self.operand())
        nd, (src, arr) = len(arr.shape), self.transposed(x, arr)
        if nd and rng.random() < 0.5 and 0 not in arr.shape:
            d = rng.randrange(nd)
            self.step(f"{src}.sum({rng.choice((f'{d}', f'{d - nd}', f'dim={d}'))})", lambda: o_sum_dim(arr, d), (x,))
        else:
            self.step(f"{src}.sum()", lambda: o_sum(arr), (x,))

    def op_prod(self):
        x, arr = must(self.operand())
        src, arr = self.transposed(x, arr)
        self.step(f"{src}.prod()" if self.rng.random() < 0.7 else f"mc.modular_prod({src})", lambda: o_prod(arr), (x,))

    def op_dot(self):
        rng = self.rng
        a = must(self.operand(ndim=1))
        b = a if rng.random() < 0.2 else must(self.leaf(a[1].shape if rng.random() < 0.8 else ()))
        if rng.random() < 0.5:
            a, b = b, a
        self.step(f"{a[0]}.dot({b[0]})", lambda: o_dot(a[1], b[1]), (a[0], b[0]))

    def op_running(self):
        rng = self.rng
        x, arr = must(self.operand(want=lambda s: len(s) == 1, ndim=1))
        add = rng.random() < 0.5
        self.step(f"{x}.{'cumsum' if add else 'cumprod'}({rng.choice(('', '0', '-1', 'dim=0'))})",
                  lambda: o_running(arr, add), (x,))

    def op_matmul(self):
        rng = self.rng
        a = must(self.operand(want=lambda s: len(s) == 2, ndim=2))
        if 0 in a[1].shape:
            return
        k, r = a[1].shape[1], rng.random()
        if r < 0.3:
            b = (f"{a[0]}.T", a[1].transpose(0, 1))
        else:
            pool = [x for x in self.regs if len(x[1].shape) == 2 and x[1].shape[0] == k]
            b = rng.choice(pool) if pool and r < 0.5 else must(self.leaf((k, rng.randint(1, 5))))
        self.step(f"{a[0]}.matmul({b[0]})", lambda: o_matmul(a[1], b[1]), (a[0], b[0].split(".")[0]))

    def op_linalg(self):
        rng = self.rng
        kind = rng.choice(("det", "det", "trace", "inv", "solve"))
        top, oracle = {"det": (5, o_det), "trace": (6, o_trace), "inv": (2, o_inv), "solve": (4, o_solve)}[kind]
        a = self.operand(want=lambda s: len(s) == 2 and s[0] == s[1] and 1 <= s[0] <= top, fresh=0.5)
        x, arr = a or must(self.leaf((rng.randint(1, top),) * 2))
        if kind in ("inv", "solve") and det_value(matrix(arr)) == 0:
            return
        if kind == "solve":
            b = must(self.leaf((arr.shape[0],) if rng.random() < 0.7 else (arr.shape[0], 1)))
            self.step(f"{x}.solve({b[0]})", lambda: o_solve(arr, b[1]), (x, b[0]))
        else:
            self.step(f"{x}.{kind}()", lambda: oracle(arr), (x,))

    # -- designed near-edge programs: cancellations the random ones almost never hit

    def bigint(self):
        return self.rng.choice((1, -1)) * self.rng.getrandbits(self.rng.randint(250, 460))

    def edge_dot(self):
        """Products far outside the range whose sum is small."""
        rng = self.rng
        pairs_a, pairs_b = [], []
        for _ in range(rng.randint(1, 6)):
            u, w = self.bigint(), self.bigint()
            du, dw = rng.choice((1, 1, 3, 2**rng.randint(1, 150))), rng.choice((1, 7))
            pairs_a += [(u, du), (u, du)]
            pairs_b += [(w, dw), (-w, dw)]
        for _ in range(rng.randint(0, 3)):
            pairs_a.append(held_pair(rng, 0.2))
            pairs_b.append(held_pair(rng, 0.2))
        order = list(range(len(pairs_a)))
        rng.shuffle(order)
        pairs_a, pairs_b = [pairs_a[i] for i in order], [pairs_b[i] for i in order]
        if rng.random() < 0.3:
            # One big factor broadcast against terms that cancel among themselves.
            pairs_a = [(self.bigint(), rng.choice((1, 3)))]
            pairs_b = [p for p in pairs_b[::2] for p in (p, (-p[0], p[1]))]
        n = len(pairs_b)
        a = self._raw(pairs_a, (len(pairs_a),) if len(pairs_a) > 1 or rng.random() < 0.5 else ())
        x, y = must(a), must(self._raw(pairs_b, (n,)))
        if x[1].shape != y[1].shape or rng.random() < 0.5:
            if x[1].shape != y[1].shape and rng.random() < 0.5:
                x, y = y, x
            self.step(f"{x[0]}.dot({y[0]})", lambda: o_dot(x[1], y[1]), (x[0], y[0]))
        else:
            self.step(f"{x[0]}.reshape(1, {n}).matmul({y[0]}.reshape({n}, 1))",
                      lambda: o_matmul(x[1].reshape((1, n)), y[1].reshape((n, 1))), (x[0], y[0]))

    def edge_matmul(self):
        """A = [R | R], B = [S ; -S + E]: every product leaves the range, A B = R E does not."""
        rng = self.rng
        m, h, n = rng.randint(1, 4), rng.randint(1, 3), rng.randint(1, 4)
        R = [[(self.bigint(), rng.choice((1, 5))) for _ in range(h)] for _ in range(m)]
        S = [[(self.bigint(), 1) for _ in range(n)] for _ in range(h)]
        E = [[(rng.randint(-2, 2), 1) for _ in range(n)] for _ in range(h)]
        a = self.raw_matrix([row + row for row in R])
        b = self.raw_matrix(S + [[(e[0] - s[0], 1) for s, e in zip(srow, erow)] for srow, erow in zip(S, E)])
        if a and b:
            self.step(f"{a[0]}.matmul({b[0]})", lambda: o_matmul(a[1], b[1]), (a[0], b[0]))

    def edge_sum(self):
        """Values next to +-(M-1)/2 whose partial sums leave the range and whose total does not."""
        rng = self.rng
        k = rng.randint(1, 8) if rng.random() < 0.8 else rng.randint(30, 70)
        vals = [HALF - rng.randint(0, 5) for _ in range(k)] + [-(HALF - rng.randint(0, 5)) for _ in range(k)]
        rng.shuffle(vals)
        kind = rng.choice(("sum", "sumdim", "cumsum", "trace"))
        if kind == "cumsum":
            # Alternating signs keep every running total inside the range.
            vals = [v for pair in zip(sorted(v for v in vals if v > 0), sorted(v for v in vals if v < 0)) for v in pair]
        vals += [rng.randint(-9, 9) for _ in range(rng.randint(0, 4))]
        pairs = [(v, 1) for v in vals]
        if rng.random() < 0.4:
            q = rng.getrandbits(rng.randint(200, 500)) | 1
            pairs = [(v // q * q, q) if abs(v // q) > 0 else (v, 1) for v in vals]
        shape = (2, len(pairs) // 2) if len(pairs) % 2 == 0 and rng.random() < 0.3 else (len(pairs),)
        x, arr = must(self._raw(pairs, shape))
        if kind == "sum":
            self.step(f"{x}.sum()", lambda: o_sum(arr), (x,))
        elif kind == "sumdim":
            d = rng.randrange(len(shape))
            self.step(f"{x}.sum({d})", lambda: o_sum_dim(arr, d), (x,))
        elif kind == "cumsum" and len(shape) == 1:
            self.step(f"{x}.cumsum()", lambda: o_running(arr, True), (x,))
        else:
            n = min(5, len(pairs))
            t, diag = must(self._raw([arr.ents[i][1] if i == j else (0, 1) for i, j in positions((n, n))], (n, n)))
            self.step(f"{t}.trace()", lambda: o_trace(diag), (t,))

    def edge_rounding(self):
        """Exact values at, just above and just below float32 rounding ties, the overflow
        threshold and the subnormal range: where rounding a double again goes wrong."""
        rng = self.rng
        ties = []
        for _ in range(rng.randint(1, 6)):
            r = rng.random()
            if r < 0.6:
                ties.append(math.ldexp(2**24 + 2 * rng.randrange(2**23) + 1, rng.randint(-170, 100)))
            elif r < 0.8:
                ties.append(rng.choice((2.0**128 - 2.0**103, 2.0**-150, 3 * 2.0**-150, 2.0**-126 - 2.0**-150)))
            else:
                ties.append(math.ldexp(rng.getrandbits(53), rng.randint(-210, 80)))
            ties[-1] *= rng.choice((1, -1))
        tensor = f"MT.from_tensor(torch.tensor({ties!r}, dtype=torch.float64), 'cpu')"
        x, arr = must(self.step(tensor, lambda: Arr((len(ties),), [settle(Fraction(t), decompose(t)) for t in ties])))
        k, sign = rng.randint(60, 400), rng.choice((1, -1))
        tiny, y = Arr((), [(Fraction(sign, 2**k), (sign, 2**k))]), f"MT.from_fraction({sign}, {2**k}, (), 'cpu')"
        if rng.choice((False, True)):
            self.step(f"{x} + {y} * {tensor}", lambda: o_binary(arr, o_binary(tiny, arr, "*"), "+"), (x,))
        else:
            self.step(f"{x} + {y}", lambda: o_binary(arr, tiny, "+"), (x,))

    def edge_cancel(self):
        """Terms over distinct big denominators that cancel: the common denominator outgrows the
        range (and the host's fixed-width integers) while the total is small."""
        rng = self.rng
        pairs = []
        for _ in range(rng.randint(1, 40)):
            q = rng.getrandbits(rng.randint(60, 600)) | 1
            a = rng.randint(1, 2**rng.randint(1, 20))
            pairs += rng.choice(([(a, q), (-a, q)], [(a, q), (a, -q)], [(2 * a, q), (-a, q), (-a, q)]))
        pairs += [(rng.randint(-9, 9), rng.randint(1, 9)) for _ in range(rng.randint(0, 3))]
        rng.shuffle(pairs)
        n = len(pairs)
        x, arr = must(self._raw(pairs, (n,)))
        kind = rng.choice(("sum", "sum", "sumdim", "dot", "matmul", "sum2d"))
        ones = Arr((n,), [(Fraction(1), (1, 1))] * n)
        code, oracle = {
            "sum": (f"{x}.sum()", lambda: o_sum(arr)),
            "sumdim": (f"{x}.sum(0)", lambda: o_sum_dim(arr, 0)),
            "dot": (f"{x}.dot(MT.ones(({n},), 'cpu'))", lambda: o_dot(arr, ones)),
            "matmul": (f"{x}.reshape(1, {n}).matmul(MT.ones(({n}, 1), 'cpu'))",
                       lambda: o_matmul(arr.reshape((1, n)), ones.reshape((n, 1)))),
            "sum2d": (f"{x}.reshape(2, {n // 2}).sum", lambda: o_sum_dim(arr.reshape((2, n // 2)), 1))}[kind]
        if kind != "sum2d" or n % 2 == 0:
            self.step(code + (f"({rng.choice((1, -1))})" if kind == "sum2d" else ""), oracle, (x,))

    def edge_products(self):
        """Partial products that leave the range while the (running) products stay inside."""
        rng = self.rng
        out = []
        for _ in range(rng.randint(1, 4)):
            b = 2**rng.randint(300, 600) * rng.choice((1, 3, -1))
            out += [(b, 1), (1, b)] if rng.random() < 0.5 else [(1, b), (b, 1)]
        out += [held_pair(rng, 0.1) for _ in range(rng.randint(0, 3))]
        x, arr = must(self._raw(out, (len(out),)))
        if rng.random() < 0.5:
            self.step(f"{x}.cumprod()", lambda: o_running(arr, False), (x,))
        else:
            order = list(range(len(out)))
            rng.shuffle(order)
            self.step(f"{x}.index_select(0, torch.tensor({order})).prod()",
                      lambda: o_prod(arr.index_select(0, order)), (x,))

    def edge_pow(self):
        """Squares of the base beyond the range while the power itself fits."""
        rng = self.rng
        n, k = rng.randint(2, 4), rng.choice((2, 3, 5, 6, -2, -3))
        lim = 618 // abs(k)
        pairs = [(rng.choice((1, -1)) * (rng.getrandbits(lim - 8) | 1), rng.choice((1, 2**rng.randint(1, lim - 10))))
                 for _ in range(n)]
        shape = (n,) if rng.random() < 0.7 else (1,)
        x, arr = must(self._raw(pairs[:shape[0]], shape))
        self.step(f"{x} ** {k}", lambda: o_pow(arr, k), (x,))

    def edge_det(self):
        """A big rank-one part plus a small diagonal: entries' products leave the range, det fits."""
        n = self.rng.randint(2, 5)
        u = [self.bigint() >> 120 for _ in range(n)]
        dg = [self.rng.choice((1, 2, 3, -1)) for _ in range(n)]
        x, arr = must(self.raw_matrix([[(u[i] + (dg[i] if i == j else 0), 1) for j in range(n)] for i in range(n)]))
        self.step(f"{x}.det()", lambda: o_det(arr), (x,))

    def edge_inverse(self):
        """Coprime big denominators: det(A) leaves the range, inv(A) and the solution do not."""
        rng = self.rng
        n = rng.randint(1, 2) if rng.random() < 0.5 else rng.randint(2, 4)
        qs = [rng.getrandbits(rng.randint(320, 600)) | 1 for _ in range(n)]
        rows = [[(1, qs[i]) if i == j else (0, 1) for j in range(n)] for i in range(n)]
        if n > 1 and rng.random() < 0.5:
            rows[0][1] = (rng.randint(1, 3), 1)
        x, arr = must(self.raw_matrix(rows))
        if n <= 2 and rng.random() < 0.5:
            self.step(f"{x}.inv()", lambda: o_inv(arr), (x,))
        else:
            b = must(self._raw([(rng.randint(-9, 9), 1) for _ in range(n)], (n,)))
            self.step(f"{x}.solve({b[0]})", lambda: o_solve(arr, b[1]), (x, b[0]))

    def edge_growth(self):
        """Unreduced pairs that outgrow the range through arithmetic while the values stay small."""
        rng = self.rng
        g = 2**rng.randint(150, 320) * rng.choice((1, 3))
        shape = self.rand_shape(rng.randint(0, 2))
        n, d = rng.randint(-9, 9) * g, rng.randint(1, 9) * g
        must(self.step(f"MT.from_fraction({n}, {d}, {shape!r}, 'cpu')",
                       lambda: Arr(shape, [settle(Fraction(n, d), (n, d))] * math.prod(shape))))
        for _ in range(rng.randint(2, 4)):
            if self.failure:
                return
            self.attempt(rng.choice((self.op_binary, self.op_unary, self.op_sum, self.op_prod, self.op_scalar)))

    # -- driver

    def run(self):
        rng, names = self.rng, list(self.weights)
        for _ in range(rng.randint(1, 2)):
            self.leaf(self.rand_shape())
        for _ in range(rng.randint(3, 8)):
            if self.failure:
                break
            kind = rng.choices(names, [self.weights[n] for n in names])[0]
            self.attempt(getattr(self, "edge_" + rng.choice(EDGES) if kind == "edge" else "op_" + kind))
        return ([self.failure] if self.failure else []) + self.notes


def op_name(code):
    """The operation a statement applies last: its outermost method, function or operator."""
    bare = None
    while bare != code:
        bare, code = code, re.sub(r"\([^()]*\)|\[[^\[\]]*\]", "", code)
    ops = re.findall(r" (\*\*|[-+*/]) ", code)
    names = re.findall(r"(\w+)$", code)
    return ops[0] if ops else "neg" if code.startswith("-") else names[0] if names else code


def digest(case):
    """A hash of everything a case ran and expected, to compare two versions of this file."""
    regs = [(n, a.shape, a.ents) for n, a in case.regs]
    found = [f["what"] for f in ([case.failure] if case.failure else []) + case.notes]
    return repr((case.lines, regs, found, case.rng.getstate())).encode()


def run_case(seed, index, focus=None):
    """Findings of one case: a failure (wrong value, wrong error) and/or a note on held forms."""
    return Case(seed, index, focus).run()


def kind_of(f):
    return f["what"], f["op"].split("(")[0].split(".")[-1].split(" ")[-1]


def report(f):
    pre = ["import torch", "from korvex.vla import modular_cuda as mc", "MT = mc.ModularTensor",
           "PRIMES = [int(p) for p in mc.PRIMES.tolist()]", inspect.getsource(raw).rstrip()]
    body = "\n".join(pre + f["program"])
    return (f"FAIL seed={f['seed']} case={f['case']} focus={f['focus']}: {f['what']}\n"
            f"  at: {f['op']}\n  {f['detail']}\n--- program ---\n{body}\n---")


def verdict(findings):
    assert not findings, "\n\n".join(report(f) for f in findings[:3]) + f"\n({len(findings)} findings)"


# ---------------------------------------------------------------- the suite

SUITE_CASES = {"arith": 70, "reduce": 60, "matrix": 45, "edge": 70, "mixed": 60}


@pytest.mark.parametrize("focus", FOCI)
def test_random_programs_agree_with_fractions(focus):
    verdict([f for i in range(SUITE_CASES[focus]) for f in run_case(0, i, focus)])


def test_generic_kernels_agree_with_fractions():
    previous = mc._set_generic_kernels(True)
    try:
        findings = [f for i in range(60) for f in run_case(1, i)]
    finally:
        mc._set_generic_kernels(previous)
    verdict(findings)


@pytest.mark.parametrize("lanes", ["baseline", "avx2"])
def test_narrower_cpu_builds_agree_with_fractions(lanes):
    # Each CPU runs only its widest build of the kernels: the others are fuzzed in a process
    # kept to them, which is how a CPU without AVX2 or AVX-512 would run.
    env = dict(os.environ, KORVEX_CPU_LANES=lanes)
    out = subprocess.run([sys.executable, "-P", __file__, "--cases", "150", "--seed", "7"], capture_output=True,
                         text=True, env=env, timeout=600)
    assert out.returncode == 0, out.stdout[-4000:] + out.stderr[-4000:]


# The smallest programs found for each fault, with the exact values (row-major) and, where the
# unreduced formulas stay in range, the pairs they must hold.
@pytest.mark.parametrize("code, want, held", [
    pytest.param("MT.from_int(2**400, (), 'cpu').dot(raw([(2**300, 1), (-2**300, 1)], (2,)))",
                 [0], None, id="dot-broadcast-products-beyond-range"),
    pytest.param("raw([(2**400, 1), (2**400, 1)], (2, 1)).dot(raw([(2**300, 1), (-2**300, 1)], (2,)))",
                 [0], None, id="dot-broadcast-2d-products-beyond-range"),
    pytest.param("raw([(1, 2**320), (0, 1), (0, 1), (1, 3**202)], (2, 2)).inv()",
                 [2**320, 0, 0, 3**202], None, id="inv-det-beyond-range"),
    pytest.param("MT.from_tensor(torch.tensor([[2.0**-320, 0], [0, 2.0**-320]], dtype=torch.float64), 'cpu')"
                 ".solve(MT.from_tensor(torch.tensor([1.0, -3.0], dtype=torch.float64), 'cpu'))",
                 [2**320, -3 * 2**320], None, id="solve-det-beyond-range"),
    pytest.param("MT.from_int(2, (1, 1), 'cpu').matmul(raw([(1, 3), (1, 2**600)], (1, 2)))",
                 [Fraction(2, 3), Fraction(1, 2**599)], [(2, 3), (2, 2**600)], id="matmul-pairs-that-fit"),
    pytest.param("MT.zeros((1, 1), 'cpu').matmul(raw([(1, 3), (1, 2**600)], (1, 2)))",
                 [0, 0], [(0, 3), (0, 2**600)], id="matmul-zero-entries"),
    pytest.param("raw([(2**300, 1), (1, 2**300), (5, 3)], (3,)).prod()",
                 [Fraction(5, 3)], [(5 * 2**300, 3 * 2**300)], id="prod-pair-that-fits"),
    pytest.param("raw([(2**400, 1), (2**400, 1), (1, 2**400)], (3,)).prod()",
                 [2**400], None, id="prod-partial-beyond-range"),
])
def test_found_faults_stay_fixed(dev, code, want, held):
    def raw_on(pairs, shape):
        r = raw(pairs, shape)
        return MT(r.num.to(dev), r.denom.to(dev))

    rec = eval(code.replace("'cpu'", repr(dev)), {"MT": MT, "torch": torch, "raw": raw_on})
    arr = Arr(tuple(rec.shape), [(Fraction(w), held and held[k]) for k, w in enumerate(want)])
    assert compare(rec, arr) == (None, None)
    assert rec.to_float().reshape(-1).tolist() == [f32(Fraction(w)) for w in want]


@pytest.mark.parametrize("seed", range(3))
def test_oracle_float32_rounding_matches_a_single_rounding(seed):
    # Doubles round to float32 once in torch, so they check the integer rounding used above.
    rng = random.Random(seed)
    xs = [math.ldexp(rng.getrandbits(53), rng.randint(-220, 140)) * rng.choice((1, -1)) for _ in range(2000)]
    xs += [math.ldexp(1 + 2 * k + 1, -25) * 2.0**e for k in range(4) for e in (-140, -100, 0, 100)]
    xs += [3.4028235677973366e38, 3.4028234663852886e38 * (1 + 2**-25), 2.0**-150, 3 * 2.0**-151]
    want = torch.tensor(xs, dtype=torch.float64).float().tolist()
    assert [f32(Fraction(x)) for x in xs] == want


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--cases", type=int, default=1000)
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--start", type=int, default=0, help="first case index")
    ap.add_argument("--case", type=int, default=None, help="run only this case index")
    ap.add_argument("--focus", choices=FOCI, default=None, help="default: cycle through all")
    ap.add_argument("--show", type=int, default=3, help="programs printed per kind of failure")
    ap.add_argument("--stats", action="store_true", help="count statements by operation and outcome")
    args = ap.parse_args(argv)
    cases = [args.case] if args.case is not None else range(args.start, args.start + args.cases)
    start, seen, failed = time.time(), collections.Counter(), 0
    stats, sha = collections.Counter(), hashlib.sha256()
    for i in cases:
        case = Case(args.seed, i, args.focus)
        found = case.run()
        stats.update(case.stats)
        sha.update(digest(case))
        failed += bool(found)
        for f in found:
            seen[kind_of(f)] += 1
            if seen[kind_of(f)] <= args.show:
                print(report(f), flush=True)
    for (what, op), n in seen.most_common():
        print(f"{n:6d}  {what}  [{op}]")
    if args.stats:
        for (op, outcome), n in sorted(stats.items()):
            print(f"{n:8d}  {op}  {outcome}")
        print(f"programs and expectations digest {sha.hexdigest()[:16]}")
    print(f"{len(cases)} cases, {failed} with findings, {time.time() - start:.1f} s")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
