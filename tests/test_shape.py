"""Shape operations and index selection: elements move, values and hints move with them."""
from fractions import Fraction

import pytest
import torch

from conftest import MT, PRIMES, value, values


def fracs(n):
    # Distinct, signed, non-zero values, so that any mix-up of elements shows.
    return [Fraction((-1) ** k * (k + 1), k + 2) for k in range(n)]


def record(shape, hint=True, dev="cpu"):
    """A record of `shape` whose element k is fracs()[k] in row-major order (bound unknown).

    The argument-checking tests keep the CPU default: they fail before any residue is touched."""
    fs = fracs(max(1, torch.Size(shape).numel()))
    n = torch.tensor([[f.numerator % p for f in fs] for p in PRIMES]).view(20, *shape)
    d = torch.tensor([[f.denominator % p for f in fs] for p in PRIMES]).view(20, *shape)
    approx = torch.tensor([float(f) for f in fs], dtype=torch.float32).view(shape) if hint else None
    return MT(n.to(dev), d.to(dev), None, approx if approx is None else approx.to(dev))


IDX = torch.tensor([[2, 0], [1, 1], [3, 0]])

# (element shape, operation on the record, operation on a plain tensor when it differs)
CASES = {
    "T": ((2, 3), lambda x: x.T, lambda t: t.t()),
    "T-3d": ((2, 3, 4), lambda x: x.T, lambda t: t.transpose(-2, -1)),
    "transpose": ((2, 3, 4), lambda x: x.transpose(0, -1), None),
    "transpose-0d": ((), lambda x: x.transpose(0, -1), None),
    "reshape-1": ((2, 3), lambda x: x.reshape(-1), None),
    "reshape-tuple": ((2, 3), lambda x: x.reshape((3, 2)), lambda t: t.reshape(3, 2)),
    "reshape-ints": ((2, 3), lambda x: x.reshape(3, -1), None),
    "reshape-list": ((2, 3), lambda x: x.reshape([1, 3, 2]), None),
    "reshape-size": ((2, 3), lambda x: x.reshape(torch.Size([6, 1])), None),
    "reshape-transposed": ((2, 3), lambda x: x.T.reshape(6), lambda t: t.t().reshape(6)),
    "reshape-0d": ((1, 1), lambda x: x.reshape(), lambda t: t.reshape(())),
    "flatten": ((2, 3, 4), lambda x: x.flatten(), None),
    "flatten-1": ((2, 3, 4), lambda x: x.flatten(1), None),
    "flatten-neg": ((2, 3, 4), lambda x: x.flatten(-3, -2), None),
    "flatten-0d": ((), lambda x: x.flatten(), None),
    "squeeze": ((1, 3, 1), lambda x: x.squeeze(), None),
    "squeeze-kept": ((1, 3, 1), lambda x: x.squeeze(1), None),
    "squeeze-last": ((1, 3, 1), lambda x: x.squeeze(-1), None),
    "squeeze-0d": ((), lambda x: x.squeeze(0), None),
    "unsqueeze-front": ((3,), lambda x: x.unsqueeze(0), None),
    "unsqueeze-back": ((3,), lambda x: x.unsqueeze(-1), None),
    "unsqueeze-0d": ((), lambda x: x.unsqueeze(-1), None),
    "index_select": ((3, 4), lambda x: x.index_select(0, torch.tensor([2, 0, 2])), None),
    "index_select-last": ((3, 4), lambda x: x.index_select(-1, torch.tensor([3, 3, 1], dtype=torch.int32)), None),
    "index_select-0d": ((), lambda x: x.index_select(0, torch.tensor([0])), None),
    "gather": ((3, 4), lambda x: x.gather(1, IDX), None),
    "gather-rows": ((3, 4), lambda x: x.gather(0, torch.tensor([[2, 0, 1, 2]])), None),
    "gather-transposed": ((3, 4), lambda x: x.T.gather(0, IDX.T), lambda t: t.t().gather(0, IDX.T)),
    "gather-0d-index": ((3,), lambda x: x.gather(0, torch.tensor(2)), None),
    "gather-0d": ((), lambda x: x.gather(0, torch.tensor([0, 0])), None),
}


def expected(shape, op, oracle):
    """PyTorch's arrangement of element numbers, mapped to the fractions they stand for."""
    ids = torch.arange(torch.Size(shape).numel()).view(shape)
    moved = (oracle or op)(ids)
    fs = fracs(max(1, ids.numel()))
    return moved.shape, [fs[k] for k in moved.reshape(-1).tolist()]


@pytest.mark.parametrize("name", CASES)
def test_elements_and_hints_move_alike(dev, name):
    shape, op, oracle = CASES[name]
    x = record(shape, dev=dev)
    out_shape, out_values = expected(shape, op, oracle)
    y = op(x)
    assert type(y) is MT and y.shape == out_shape and y.num.shape == (20,) + tuple(out_shape)
    assert values(y) == out_values
    assert y.num.device == x.num.device and y._approx.device == x.num.device
    assert torch.equal(y._approx.cpu(), (oracle or op)(x._approx.cpu()))
    assert op(record(shape, hint=False, dev=dev))._approx is None


@pytest.mark.parametrize("name", CASES)
def test_results_feed_the_arithmetic(dev, name):
    shape, op, oracle = CASES[name]
    y = op(record(shape, dev=dev))
    _, fs = expected(shape, op, oracle)
    assert values(y * y + y - y / 3) == [f * f + f - f / 3 for f in fs]
    assert values(2 - y) == [2 - f for f in fs]
    plain = MT(y.num.contiguous(), y.denom.contiguous())
    assert (y == plain).all() and not (y == plain + 1).any()
    # One element read back straight from the (possibly strided) residues.
    last = (slice(None),) + tuple(s - 1 for s in y.shape)
    assert value(MT(y.num[last], y.denom[last])) == fs[-1]
    assert Fraction(*MT(y.num[last], y.denom[last]).to_rational()) == fs[-1]


def test_size_bound_carries_over(dev):
    # Unreduced 2^200/2^200 factors: the fourth power leaves the range of the residues, and
    # only a bound that came along with the elements sends it down the exact path.
    x = MT.from_fraction(2**200, 2**200, (2, 3), dev) * record((2, 3), dev=dev)
    for y in (x.T, x.reshape(6), x.index_select(1, torch.tensor([2, 0])), x.unsqueeze(0), x.squeeze()):
        fs = values(y)
        assert values((y * y) * (y * y)) == [f**4 for f in fs]


@pytest.mark.parametrize("shape", [(), (3,)])
def test_T_of_fewer_than_two_axes_is_the_record_itself(dev, shape):
    x = record(shape, dev=dev)
    assert x.T is x


@pytest.mark.parametrize("op", [lambda x: x.transpose(0, 1), lambda x: x.T, lambda x: x.reshape(3, 2),
                                lambda x: x.flatten(), lambda x: x.squeeze(), lambda x: x.unsqueeze(1)])
def test_views_share_storage(dev, op):
    x = record((2, 3), dev=dev)
    y = op(x)
    for a, b in ((y.num, x.num), (y.denom, x.denom), (y._approx, x._approx)):
        assert a.untyped_storage().data_ptr() == b.untyped_storage().data_ptr()


@pytest.mark.parametrize("call,name,got", [
    (lambda x: x.transpose("0", 1), "dim0", "str"), (lambda x: x.transpose(0, None), "dim1", "NoneType"),
    (lambda x: x.flatten([0]), "start_dim", "list"), (lambda x: x.flatten(0, None), "end_dim", "NoneType"),
    (lambda x: x.squeeze("1"), "dim", "str"), (lambda x: x.unsqueeze(None), "dim", "NoneType"),
    (lambda x: x.index_select("0", torch.tensor([0])), "dim", "str"),
    (lambda x: x.gather((1,), IDX[:2]), "dim", "tuple")])
def test_axis_types_refused(call, name, got):
    with pytest.raises(TypeError, match=rf"^Argument '{name}' has incorrect type \(expected int, got {got}\)$"):
        call(record((2, 3)))


@pytest.mark.parametrize("call,shape", [
    (lambda x: x.transpose(0.9, True), (3, 2)), (lambda x: x.unsqueeze(2.9), (2, 3, 1)),
    (lambda x: x.flatten(True), (2, 3)), (lambda x: x.squeeze(dim=-1.5), (2, 3)),
    (lambda x: x.index_select(1.2, torch.tensor([0])), (2, 1))])
def test_axis_numbers_truncated(call, shape):
    assert call(record((2, 3))).shape == shape


@pytest.mark.parametrize("call,axis", [
    (lambda x: x.transpose(-3, 0), -3), (lambda x: x.transpose(0, 2), 2), (lambda x: x.flatten(2), 2),
    (lambda x: x.flatten(0, -3), -3), (lambda x: x.squeeze(2), 2), (lambda x: x.squeeze(-3), -3),
    (lambda x: x.index_select(-3, torch.tensor([0])), -3), (lambda x: x.index_select(2, torch.tensor([0])), 2),
    (lambda x: x.gather(-3, IDX[:2]), -3), (lambda x: x.gather(2**70, IDX[:2]), 2**70)])
def test_axes_outside_the_element_axes(call, axis):
    # A negative axis must never reach the prime axis.
    with pytest.raises(IndexError, match=rf"^Dimension out of range \(expected to be in range of \[-2, 1\], "
                                         rf"but got {axis}\)$"):
        call(record((2, 3)))


@pytest.mark.parametrize("call,lo,hi,axis", [
    (lambda x: x.unsqueeze(3), -3, 2, 3), (lambda x: x.unsqueeze(-4), -3, 2, -4),
    (lambda x: record(()).transpose(0, 1), -1, 0, 1), (lambda x: record(()).unsqueeze(-2), -1, 0, -2),
    (lambda x: record(()).gather(1, torch.tensor(0)), -1, 0, 1)])
def test_axis_ranges_of_unsqueeze_and_scalars(call, lo, hi, axis):
    with pytest.raises(IndexError, match=rf"range of \[{lo}, {hi}\], but got {axis}\)$"):
        call(record((2, 3)))


@pytest.mark.parametrize("call,exc", [
    (lambda x: x.reshape(4, -1), RuntimeError), (lambda x: x.reshape(2.0, 3), TypeError),
    (lambda x: x.flatten(1, 0), RuntimeError),
    (lambda x: x.index_select(0, torch.tensor([0.0])), RuntimeError),
    (lambda x: x.index_select(0, torch.tensor([2])), (IndexError, RuntimeError)),
    (lambda x: x.index_select(0, torch.tensor([[0]])), IndexError),
    (lambda x: x.gather(1, torch.tensor([[3]])), RuntimeError),
    (lambda x: x.gather(1, torch.tensor([0])), RuntimeError),
    (lambda x: record(()).index_select(0, torch.tensor([0, 0])), RuntimeError)])
def test_pytorch_errors_propagate(call, exc):
    with pytest.raises(exc):
        call(record((2, 3)))


def test_argument_count_messages():
    x = record((2, 3))
    with pytest.raises(TypeError, match=r"^transpose\(\) takes exactly 3 positional arguments \(2 given\)$"):
        x.transpose(0)
    with pytest.raises(TypeError, match=r"^flatten\(\) takes at most 3 positional arguments \(4 given\)$"):
        x.flatten(0, 1, 2)
    with pytest.raises(TypeError, match=r"unexpected keyword argument 'shape'"):
        x.reshape(shape=(3, 2))


def test_index_moved_to_the_record_and_left_alone():
    x = MT.from_fraction(1, 3, (3, 4), "meta")
    index = torch.tensor([[3, 2, 1, 0], [0, 1, 2, 3]], dtype=torch.int32)[:, ::2]
    before = index.clone()
    y, z = x.index_select(1, index[0]), x.gather(0, index)
    assert y.device == z.device == torch.device("meta")
    assert y.shape == (3, 2) and z.shape == (2, 2) and z._approx.device == torch.device("meta")
    assert index.device == torch.device("cpu") and torch.equal(index, before)
