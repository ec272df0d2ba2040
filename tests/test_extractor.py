import gc

import numpy as np
import pytest

from _vorl.extractor import Extractor

PURE_VIRTUAL = 'Tried to call pure virtual function "Extractor::compute"'
# pybind11 2.10 and 2.13 word the cast error differently; both start the same.
CAST_ERROR = r"^Unable to cast Python instance (of type <class 'str'> )?to C\+\+ type"


class Counting(Extractor):
    """Writes 1, 2, ... into the first `k` outputs and records what it saw."""

    def __init__(self, k=2, **kwargs):
        super().__init__(**kwargs)
        self.k = k
        self.seen = []

    def compute(self, input, output):
        self.seen.append((input, list(output)))
        for i in range(min(self.k, len(output))):
            output[i] = float(i + 1)


def test_defaults_and_readonly():
    e = Extractor()
    assert (e.num_samples, e.num_features, e.sample_rate, e.on_channel) == (1024, 64, 44100, -1)
    assert e.transform(2.5) == 2.5
    for name in ("num_samples", "num_features", "sample_rate", "transform", "on_channel"):
        with pytest.raises(AttributeError):
            setattr(e, name, getattr(e, name))


@pytest.mark.parametrize("kwargs", [
    {"num_samples": -1}, {"num_samples": 1024.0}, {"num_features": 2**64},
    {"sample_rate": 2**31}, {"on_channel": 0.5}, {"transform": 3},
])
def test_unconvertible_constructor_arguments(kwargs):
    with pytest.raises(TypeError):
        Extractor(**kwargs)


def test_accepted_constructor_arguments():
    e = Extractor(num_samples=np.int64(8), on_channel=-3, sample_rate=-5, transform=None)
    assert (e.num_samples, e.on_channel, e.sample_rate, e.transform) == (8, -3, -5, None)


def test_transform_reads_are_fresh_callables():
    e = Extractor(transform=lambda x: x * 3)
    t1, t2 = e.transform, e.transform
    assert t1 is not t2
    assert t1(2.0) == t2(2.0) == 6.0
    del e
    gc.collect()
    assert t1(1.0) == 3.0  # outlives its extractor


def test_subclass_fills_output_then_transform():
    e = Counting(k=2, num_samples=3, num_features=4, transform=lambda x: x + 10)
    assert e([0.5, 0.25, 0.125]) == [11.0, 12.0, 10.0, 10.0]
    assert e.seen == [([0.5, 0.25, 0.125], [0.0] * 4)]


def test_compute_returning_instead_of_filling_gives_zeros():
    class Returns(Extractor):
        def compute(self, input, output):
            return [1.0] * len(output)

    assert Returns(num_samples=2, num_features=3)([1.0, 2.0]) == [0.0, 0.0, 0.0]


def test_wrong_length_never_reaches_compute():
    e = Counting(num_samples=1024)
    with pytest.raises(ValueError, match=r"^Input signal must be of length 1024\. Instead it is of length 512\.$"):
        e([0.0] * 512)
    assert e.seen == []


def test_fresh_lists_on_every_call():
    e = Counting(k=1, num_samples=2, num_features=2)
    e([1.0, 2.0])
    e([3.0, 4.0])
    (in1, _), (in2, _) = e.seen
    assert in1 == [1.0, 2.0] and in2 == [3.0, 4.0]


@pytest.mark.parametrize("make", [
    lambda: [1.0, 2.0, 3.0, 4.0],
    lambda: (1.0, 2.0, 3.0, 4.0),
    lambda: np.array([1.0, 2.0, 3.0, 4.0]),
    lambda: [np.float64(1), 2.0, 3.0, 4.0],
])
def test_list_form_accepts_float_sequences(make):
    e = Counting(num_samples=4)
    e(make())
    assert e.seen[0][0] == [1.0, 2.0, 3.0, 4.0]


ROWS = np.array([[1.0, 2.0, 3.0, 4.0], [3.0, 4.0, 5.0, 6.0]])


@pytest.mark.parametrize("bad", [
    [1, 2, 3, 4],                                   # ints are not converted
    [1.0, 2.0, 3.0, np.float32(4)],
    "abcd",
    np.ascontiguousarray(ROWS),                     # row-major, 2 x 4
    np.asfortranarray(ROWS, dtype=np.float32),
    np.ascontiguousarray(ROWS, dtype=np.float32),
    np.asfortranarray(ROWS).astype(">f8"),          # byte-swapped
    np.asfortranarray(ROWS)[:, ::-1],               # negative stride
    np.asfortranarray(np.tile(ROWS, (2, 1)))[1:3],  # strided columns: would need a copy
    np.zeros((2, 2, 4), order="F"),
])
def test_inputs_that_match_no_call_form(bad):
    e = Counting(num_samples=4)
    with pytest.raises(TypeError, match="incompatible function arguments"):
        e(bad)
    assert e.seen == []


@pytest.mark.parametrize("channel, expected", [
    (0, [1.0, 2.0, 3.0, 4.0]), (1, [3.0, 4.0, 5.0, 6.0]),
    (-1, [2.0, 3.0, 4.0, 5.0]), (-7, [2.0, 3.0, 4.0, 5.0]),
])
@pytest.mark.parametrize("layout", ["fortran", "transposed"])
def test_channel_selection(channel, expected, layout):
    frame = np.asfortranarray(ROWS) if layout == "fortran" else np.ascontiguousarray(ROWS.T).T
    e = Counting(num_samples=4, on_channel=channel)
    e(frame)
    assert e.seen[0][0] == expected


@pytest.mark.parametrize("channel, rows", [(2, 2), (5, 1)])
def test_missing_channel_is_rejected(channel, rows):
    e = Counting(num_samples=4, on_channel=channel)
    with pytest.raises(ValueError, match=rf"^Cannot select channel {channel}: the input has {rows} channel\(s\)\.$"):
        e(np.asfortranarray(ROWS[:rows]))
    assert e.seen == []


def test_rows_as_samples_layout_is_rejected_by_length():
    e = Counting(num_samples=4)
    with pytest.raises(ValueError, match="must be of length 4. Instead it is of length 2"):
        e(np.asfortranarray(ROWS.T))


def test_zero_row_array_is_an_empty_sequence():
    e = Counting(num_samples=4)
    with pytest.raises(ValueError, match="Instead it is of length 0"):
        e(np.zeros((0, 4), order="F"))


def test_zero_lengths():
    e = Counting(num_samples=0, num_features=0, transform=None)
    assert e([]) == []
    assert e.seen == [([], [])]


def test_none_transform_fails_only_with_features():
    e = Counting(num_samples=1, num_features=1, transform=None)
    with pytest.raises(RuntimeError, match="bad_function_call|bad function call"):
        e([1.0])


def test_transform_errors():
    bad_type = Counting(num_samples=1, transform=lambda x: "x")
    with pytest.raises(RuntimeError, match=CAST_ERROR):
        bad_type([1.0])

    def raises(x):
        raise KeyError("boom")

    with pytest.raises(KeyError, match="boom"):
        Counting(num_samples=1, transform=raises)([1.0])


def test_transform_numbers_are_converted():
    class Half:
        def __float__(self):
            return 0.5

    assert Counting(k=0, num_samples=1, num_features=2, transform=lambda x: 3)([1.0]) == [3.0, 3.0]
    assert Counting(k=0, num_samples=1, num_features=1, transform=lambda x: Half())([1.0]) == [0.5]


def test_direct_extractor_has_no_compute():
    with pytest.raises(RuntimeError, match=f"^{PURE_VIRTUAL}$"):
        Extractor(num_samples=1)([1.0])


def test_compute_inherited_from_python_base():
    class Child(Counting):
        pass

    assert Child(k=1, num_samples=1, num_features=1)([1.0]) == [1.0]


def test_reentrant_call_from_own_compute():
    class Reenters(Extractor):
        def compute(self, input, output):
            self(input)

    with pytest.raises(RuntimeError, match=PURE_VIRTUAL):
        Reenters(num_samples=1)([1.0])


def test_compute_errors():
    class NotCallable(Extractor):
        compute = 5

    with pytest.raises(TypeError, match="Object of type 'int' is not an instance of 'function'"):
        NotCallable(num_samples=1)([1.0])

    class Raises(Extractor):
        def compute(self, input, output):
            raise LookupError("from compute")

    with pytest.raises(LookupError, match="from compute"):
        Raises(num_samples=1)([1.0])

    class OneArg(Extractor):
        def compute(self, input):
            pass

    with pytest.raises(TypeError):
        OneArg(num_samples=1)([1.0])


@pytest.mark.parametrize("mutate, error, message", [
    (lambda out: out.append(1.0), ValueError, "length 3; it changed it to length 4"),
    (lambda out: out.clear(), ValueError, "length 3; it changed it to length 0"),
    (lambda out: out.__setitem__(1, "x"), TypeError, r"non-number in output\[1\]: 'x'"),
    (lambda out: out.__setitem__(2, None), TypeError, r"non-number in output\[2\]: None"),
])
def test_compute_must_keep_output_shape_and_numbers(mutate, error, message):
    class Mutates(Extractor):
        def compute(self, input, output):
            output[0] = 9.0
            mutate(output)

    with pytest.raises(error, match=message):
        Mutates(num_samples=1, num_features=3)([1.0])


def test_compute_may_store_ints_and_numpy_scalars():
    class Numbers(Extractor):
        def compute(self, input, output):
            output[0] = 7
            output[1] = np.float32(0.5)

    assert Numbers(num_samples=1, num_features=2)([1.0]) == [7.0, 0.5]


def test_init_override_must_call_base():
    class Forgets(Extractor):
        def __init__(self):
            pass

        def compute(self, input, output):
            pass

    with pytest.raises(TypeError, match=r"^_vorl\.extractor\.Extractor\.__init__\(\) must be called when overriding __init__$"):
        Forgets()


def test_subclass_instances_are_collected():
    import weakref

    e = Counting(num_samples=1)
    ref = weakref.ref(e)
    e([1.0])
    del e
    gc.collect()
    assert ref() is None
