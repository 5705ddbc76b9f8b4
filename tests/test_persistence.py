"""Records copy, deep-copy, pickle and go through torch.save as a plain class with the five slots
does, and a restored record is as exact as the original."""
import copy
import copyreg
import io
import pickle
from fractions import Fraction as F

import pytest
import torch

from conftest import MT, PRIMES, mc, values


class Sub(MT):
    pass


class Tagged(MT):
    __slots__ = ("tag",)


def _scalar():
    return MT.from_fraction(1, 3, (), "cpu"), [F(1, 3)]


def _shaped():
    t = torch.tensor([[0.5, -2.0, 3.25], [1e-3, 7.0, -0.125]], dtype=torch.float64)
    return MT.from_tensor(t, "cpu"), [F(v) for v in t.flatten().tolist()]


def _transposed():
    x, vals = _shaped()
    return x.T, [vals[0], vals[3], vals[1], vals[4], vals[2], vals[5]]


def _hintless():
    x = MT.from_fraction(-5, 7, (2,), "cpu")
    return MT(x.num, x.denom), [F(-5, 7)] * 2


def _zero_denominator():
    return MT.from_int(3, (2,), "cpu") / 0, None


def _unreduced():
    return MT.from_fraction(3, 6, (2,), "cpu"), [F(1, 2)] * 2


def _subclass():
    return Sub.from_fraction(2, 9, (3,), "cpu"), [F(2, 9)] * 3


RECORDS = [_scalar, _shaped, _transposed, _hintless, _zero_denominator, _unreduced, _subclass]


def _torch_round_trip(x):
    buf = io.BytesIO()
    torch.save(x, buf)
    buf.seek(0)
    return torch.load(buf)  # weights_only, the default of current torch


TRIPS = {"copy": copy.copy, "deepcopy": copy.deepcopy, "torch.save": _torch_round_trip}
TRIPS.update({f"pickle{p}": (lambda x, p=p: pickle.loads(pickle.dumps(x, protocol=p)))
              for p in range(pickle.HIGHEST_PROTOCOL + 1)})


@pytest.mark.parametrize("make", RECORDS, ids=lambda f: f.__name__[1:])
@pytest.mark.parametrize("trip", TRIPS.values(), ids=TRIPS.keys())
def test_round_trip_keeps_class_residues_device_and_hint(make, trip):
    x, expected = make()
    if trip is _torch_round_trip and type(x) is not MT:
        torch.serialization.add_safe_globals([type(x)])
    y = trip(x)
    assert type(y) is type(x) and y is not x
    assert torch.equal(y.num, x.num) and torch.equal(y.denom, x.denom) and torch.equal(y.primes, x.primes)
    assert y.shape == x.shape and y.device == x.device
    if x._approx is None:
        assert y._approx is None
    else:
        assert torch.equal(y._approx, x._approx)
    if expected is not None:
        assert values(y) == expected
        # The restored record computes: its bound was measured, not taken on trust.
        assert values(y + y) == [2 * v for v in expected]
    else:
        assert y.denom.eq(0).all()


def test_copy_shares_tensors_and_deepcopy_keeps_sharing():
    x = MT.from_fraction(1, 3, (2,), "cpu")
    c = copy.copy(x)
    assert c.num is x.num and c.denom is x.denom and c._approx is x._approx
    d = copy.deepcopy(x)
    assert d.num is not x.num and d.num.data_ptr() != x.num.data_ptr()
    same = MT(x.num, x.num)
    a, b = copy.deepcopy([same, same])
    assert a is b and a.num is a.denom
    for restored in (pickle.loads(pickle.dumps([same, same])), _torch_round_trip([same, same])):
        assert restored[0] is restored[1]


def test_restored_record_near_the_range_edge_still_refuses_to_overflow():
    big = MT.from_int(2**400, (), "cpu")
    for trip in TRIPS.values():
        y = trip(big)
        assert y.to_rational() == (2**400, 1)
        with pytest.raises(OverflowError, match="exceeds the exact range"):
            y.square()
        assert (y * 2**200).to_rational() == (2**600, 1)


def test_tampered_state_is_refused_on_first_use():
    x = MT.from_int(5, (2,), "cpu")
    func, args, state = x.__reduce_ex__(2)
    assert func is copyreg.__newobj__ and args == (MT,)
    bad = dict(state[1], num=x.num + torch.tensor(PRIMES).view(20, 1))
    y = func(*args)
    y.__setstate__((None, bad))
    with pytest.raises(ValueError, match=r"residues must lie in \[0, p\)"):
        y.to_float()


def test_state_is_that_of_a_plain_slotted_class():
    x = MT.from_fraction(1, 2, (), "cpu")
    dict_state, slots = x.__getstate__()
    assert dict_state is None and list(slots) == ["num", "denom", "primes", "device", "_approx"]
    assert slots["num"] is x.num and slots["device"] == torch.device("cpu")
    assert MT.__new__(MT).__getstate__() is None
    unset = copy.copy(MT.__new__(MT))
    with pytest.raises(AttributeError):
        unset.num


def test_subclass_attributes_and_slots_travel_with_the_record():
    s = Sub.from_int(4, (), "cpu")
    s.note = "kept"
    t = Tagged.from_int(6, (), "cpu")
    t.tag = ("a", 1)
    for trip in (copy.copy, copy.deepcopy, lambda v: pickle.loads(pickle.dumps(v))):
        assert trip(s).note == "kept" and trip(t).tag == ("a", 1)
        assert trip(t).to_rational() == (6, 1)


def test_device_follows_the_residues_of_a_moved_record():
    # What torch.load(map_location=...) gives: tensors moved, the saved device object not.
    x = MT.from_int(1, (), "cpu")
    _, slots = x.__getstate__()
    y = MT.__new__(MT)
    y.__setstate__((None, dict(slots, device=torch.device("meta"))))
    assert y.device == torch.device("cpu") and y.to_rational() == (1, 1)


def test_torch_load_of_a_record_needs_no_allowlisting_by_the_caller():
    assert MT in torch.serialization.get_safe_globals()
    assert mc.ModularTensor is MT
