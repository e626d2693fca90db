import gc
import random

import _morvane_rec_extension as ext
import numpy as np
import pytest
from conftest import KEY, MAX, entry_keys

Bitmap = ext.Bitmap


def test_rank_and_select():
    bm = Bitmap([3, KEY + 10, MAX])
    assert [bm.nth(i) for i in range(3)] == [3, KEY + 10, MAX]
    assert bm.lower_cardinality(KEY + 10) == 1 and bm.upper_cardinality(KEY + 10) == 1
    assert bm.lower_cardinality(position=0) == 0 and bm.upper_cardinality(MAX) == 0
    with pytest.raises(RuntimeError) as error:
        bm.nth(ordinal=3)
    assert str(error.value) == "The ordinal value [ 3] is greater than the total cardinality"


def test_nearest_members_and_sentinels():
    bm = Bitmap([3, KEY + 10])
    assert bm.self_or_next(4) == KEY + 10 and bm.self_or_next(KEY + 11) == 0
    assert bm.self_or_previous(KEY + 5) == 3 and bm.self_or_previous(2) == MAX
    before = bm.copy()
    assert bm.self_or_next(2 * KEY) == 0
    assert entry_keys(bm) == [0, 1, 2] and bm == before


def test_iteration_protocol():
    bm = Bitmap([0, KEY, MAX])
    bm.set(5 * KEY)
    bm.unset(5 * KEY)
    it = iter(bm)
    assert iter(it) is it
    assert list(it) == [0, KEY, MAX]
    for _ in range(3):
        with pytest.raises(StopIteration):
            next(it)
    assert list(Bitmap()) == []


def test_iterator_keeps_bitmap_alive():
    bm = Bitmap([4, 5])
    it = iter(bm)
    del bm
    gc.collect()
    assert list(it) == [4, 5]


MUTATIONS = [
    lambda b: b.set(1000), lambda b: b.set(0, 3 * KEY), lambda b: b.unset(4),
    lambda b: b.unset(0, KEY), lambda b: b.flip(0, 10), lambda b: b.flip(4, None),
    lambda b: b.inplace_union(Bitmap([77])), lambda b: b.inplace_intersect(Bitmap()),
    lambda b: b.inplace_difference(Bitmap([4])), lambda b: b.inplace_symmetric_difference(b),
    lambda b: b.__ior__(Bitmap([9])), lambda b: b.__iand__(Bitmap()), lambda b: b.__isub__(b),
    lambda b: b.__ixor__(Bitmap([1])), lambda b: b.expand(4, 10), lambda b: b.contract(KEY + 5, 2),
    lambda b: b.persisted_size(), lambda b: b.self_or_next(9 * KEY),
    lambda b: b.self_or_previous(9 * KEY),
    # Calls that end up changing nothing still end the iteration.
    lambda b: b.unset(3 * KEY, 5), lambda b: b.set(3 * KEY, 5), lambda b: b.expand(9 * KEY, 3),
]


@pytest.mark.parametrize("mutate", MUTATIONS)
def test_changing_the_set_during_iteration_raises(mutate):
    bm = Bitmap(list(range(4, 70000, 3)) + [KEY + 1])
    it = iter(bm)
    assert next(it) == 4
    mutate(bm)
    with pytest.raises(RuntimeError, match="changed during iteration"):
        next(it)
    assert next(iter(bm), None) == bm.first  # a fresh iterator walks the new members


def test_reads_do_not_disturb_iteration():
    bm = Bitmap([1, 2, 3])
    it = iter(bm)
    next(it)
    bm.persisted_size(True, False, False)
    bm.contains(2), bm.nth(0), bm.copy(), bm | bm, bm.index_array()
    assert list(it) == [2, 3]


class _Int(int):
    """An int subclass: the fast paths leave it to the registered functions."""


def test_fast_paths_answer_as_the_registered_functions():
    rng = random.Random(3)
    keys = [0, 1, 2, 7, 2**31, 2**32 - 1]
    members = sorted({k * KEY + rng.choice([0, 1, 5, 65535, 65536, 2**32 - 1, rng.randrange(2**32)])
                      for k in keys for _ in range(20)})
    probes = members + [m + 1 for m in members if m < MAX] + [0, 3 * KEY, MAX, 2**63]
    for other in (Bitmap(members), Bitmap()):
        for method in ("contains", "lower_cardinality", "upper_cardinality", "self_or_next", "self_or_previous"):
            fast, registered = other.copy(), other.copy()
            for p in probes:
                assert getattr(fast, method)(p) == getattr(registered, method)(_Int(p)), (method, p)
                assert getattr(fast, method)(np.uint64(p)) == getattr(registered, method)(_Int(p))
            assert entry_keys(fast) == entry_keys(registered)  # same entries created
        for ordinal in range(len(other) + 2):
            outcomes = []
            for argument in (ordinal, _Int(ordinal)):
                try:
                    outcomes.append(other.nth(argument))
                except RuntimeError as error:
                    outcomes.append(str(error))
            assert outcomes[0] == outcomes[1]
        walked = list(other)  # the getters against a walk of the members
        assert (other.cardinality, other.empty) == (len(walked), not walked)
        assert (other.first, other.last) == ((walked[0], walked[-1]) if walked else (None, None))
    fast, registered = Bitmap(), Bitmap()
    for p in probes:
        fast.set(p), registered.set(_Int(p), None)
    for p in probes[::3]:
        fast.unset(p), registered.unset(_Int(p), None)
    assert fast == registered and entry_keys(fast) == entry_keys(registered)


def test_fast_paths_raise_what_the_registered_functions_raise():
    # The fast function keeps the registered one, which declines nothing.
    registered = Bitmap.nth.__wrapped__
    assert registered.__name__ == "nth" and registered.__doc__ == Bitmap.nth.__doc__
    assert registered(Bitmap([5, 9]), 1) == Bitmap([5, 9]).nth(1) == 9
    message = r"^The ordinal value \[ 2\] is greater than the total cardinality$"
    for nth in (Bitmap([5, 9]).nth, lambda ordinal: registered(Bitmap([5, 9]), ordinal)):
        with pytest.raises(RuntimeError, match=message):
            nth(2)


def test_fast_methods_are_reached_every_way_a_method_is():
    # Looked up on an instance (bound, or called at once), on the class with the
    # instance first, or by the interpreter's own method call: the same answers,
    # and the registered function's refusals, word for word.
    bm = Bitmap([3, KEY + 1])
    for name, argument in (("contains", KEY + 1), ("nth", 1), ("self_or_next", 4), ("lower_cardinality", 4)):
        registered = getattr(Bitmap, name).__wrapped__
        bound = getattr(bm, name)
        assert bound.__self__ is bm and bound.__name__ == name
        assert bound(argument) == getattr(Bitmap, name)(bm, argument) == registered(bm, argument)
        stranger = object()
        for refusal in (lambda f: f(stranger, argument), lambda f: f(), lambda f: f(bm, argument, argument, 0)):
            messages = []
            for function in (getattr(Bitmap, name), registered):
                with pytest.raises(TypeError) as error:
                    refusal(function)
                messages.append(str(error.value))
            assert messages[0] == messages[1] and "incompatible function arguments" in messages[0]
    for _ in range(3):  # the interpreter's specialised lookups and calls, once warm
        bm.set(7), bm.unset(3)
        assert bm.contains(7) and not bm.contains(3) and bm.cardinality == 2
    assert Bitmap.cardinality.fget(bm) == Bitmap.cardinality.fget.__wrapped__(bm) == 2
    assert Bitmap.set.__qualname__ == "Bitmap.set" and Bitmap.set.__objclass__ is Bitmap


def test_fast_paths_leave_unusual_arguments_to_the_registered_functions():
    bm = Bitmap([5])
    for call in (lambda: bm.contains(-1), lambda: bm.contains(2**64), lambda: bm.contains(5.0),
                 lambda: bm.set(np.int64(-3)), lambda: bm.nth("0"), lambda: Bitmap.contains(object(), 5),
                 lambda: Bitmap.__new__(Bitmap).contains(5), lambda: Bitmap.__new__(Bitmap).first):
        with pytest.raises(TypeError):
            call()
    assert bm.contains(True) is False and bm.contains(position=5) is True
    with pytest.raises(RuntimeError, match=r"^The ordinal value \[ 1\] is greater than the total cardinality$"):
        bm.nth(1)
    assert list(bm) == [5]


def test_iterator_reads_in_blocks_and_stops_like_the_registered_next():
    members = list(range(0, 300, 3)) + [KEY - 1, KEY, 5 * KEY + 7, 2**64 - 1]
    bm = Bitmap(members)
    assert list(bm) == members
    it = iter(bm)
    walked = [next(it) for _ in range(70)]  # past the first block
    assert walked == members[:70]
    assert [type(it).__next__(it) for _ in range(3)] == members[70:73]
    assert list(it) == members[73:]
    with pytest.raises(StopIteration) as stop:
        next(it)
    assert stop.value.args == ("",)
    bm.set(1)
    with pytest.raises(StopIteration):  # an exhausted iterator does not look again
        next(it)
