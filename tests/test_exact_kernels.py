"""The big-integer layer seen through the interface: reconstruction, residues, gcd, bounds."""
import random
from fractions import Fraction

import pytest
import torch

from conftest import HALF, M, MT, PRIMES, residues, value, values


def raw(fs, shape, dev):
    n = torch.tensor([[f.numerator % p for f in fs] for p in PRIMES])
    d = torch.tensor([[f.denominator % p for f in fs] for p in PRIMES])
    return MT(n.view(20, *shape).to(dev), d.view(20, *shape).to(dev))


@pytest.mark.parametrize("bits", [1, 63, 64, 65, 127, 300, 617, 618])
def test_reconstruction_near_word_and_range_edges(dev, bits):
    rng = random.Random(bits)
    for _ in range(5):
        n = rng.getrandbits(bits) | (1 << (bits - 1))
        d = rng.getrandbits(bits) | 1
        for sign in (1, -1):
            assert MT.from_fraction(sign * n, d, (), dev).to_rational() == (
                Fraction(sign * n, d).numerator, Fraction(sign * n, d).denominator)


def test_simplify_gcd_of_large_powers_and_products(dev):
    g = 3**200 * 2**50
    x = MT.from_fraction(7 * g, 11 * g, (), dev)
    s = x.simplify()
    assert s.num.tolist() == residues(7) and s.denom.tolist() == residues(11)
    assert value(MT.from_fraction(-(2**617), 2**600, (), dev).simplify()) == -(2**17)


def test_raw_record_bound_measured_then_exact(dev):
    rng = random.Random(3)
    fs = [Fraction(rng.getrandbits(300) - 2**299, rng.getrandbits(300) | 1) for _ in range(6)]
    a = raw(fs, (2, 3), dev)
    # 300-bit operands: products fit, sums of products do not until reduced.
    assert values(a * a) == [f * f for f in fs]
    sq = a * a
    assert values(sq + a) == [f * f + f for f in fs]


def test_empty_records(dev):
    e = MT.from_int(3, (0,), dev)
    r = e * e + 1
    assert r.shape == (0,) and (e == e).shape == (0,)


def test_unexpected_and_duplicate_keywords():
    with pytest.raises(TypeError, match="unexpected keyword argument 'bogus'"):
        MT.from_int(1, bogus=2)
    with pytest.raises(TypeError, match="multiple values"):
        MT.from_int(1, value=2)



@pytest.mark.parametrize("gbits,bits", [(0, 40), (20, 44), (70, 50), (64, 64), (120, 8), (150, 150), (200, 100)])
def test_simplify_lowest_terms_across_word_sizes(dev, gbits, bits):
    # Common factors and cofactors around one and two words and beyond: the gcd walks through
    # its multi-word, two-word and one-word stages, with even parts on either side.
    rng = random.Random(gbits * 1000 + bits)
    for k in range(8):
        g = (rng.getrandbits(gbits) | 1 if gbits else 1) << (k % 3)
        n = rng.getrandbits(bits) | 1 << (bits - 1)
        d = (rng.getrandbits(bits) | 1) << (k % 2)
        sign = -1 if k % 4 == 1 else 1
        s = MT.from_fraction(sign * n * g, d * g, (), dev).simplify()
        expected = Fraction(sign * n, d)
        assert s.num.tolist() == residues(expected.numerator) and s.denom.tolist() == residues(expected.denominator)


@pytest.mark.parametrize("low_words", [1, 2, 3])
@pytest.mark.parametrize("bits", [100, 150, 200, 250, 400, 540])
def test_simplify_cofactors_that_agree_in_whole_words(dev, low_words, bits):
    # a g and b g with b - a a multiple of 2^64 or more: a difference with whole zero words,
    # which the gcd's steps shift out by words, at every width it narrows through.
    rng = random.Random(bits * 10 + low_words)
    for k in range(6):
        a = rng.getrandbits(bits) | 1
        b = a + ((rng.getrandbits(max(bits - 64 * low_words, 8)) | 1) << (64 * low_words))
        g = rng.getrandbits(60) | 1 if k % 2 else 1
        n, d = (a * g, b * g) if k % 3 else (b * g, a * g)
        s = MT.from_fraction(-n if k == 4 else n, d, (), dev).simplify()
        expected = Fraction(-n if k == 4 else n, d)
        assert s.num.tolist() == residues(expected.numerator) and s.denom.tolist() == residues(expected.denominator)
