"""The package's bulk functions against a model: a sorted list of the members."""
import bisect
import functools
import random

import numpy as np
import pytest
from conftest import KEY, MAX, entry_keys

import morvane_rec
from morvane_rec import Bitmap, contains_many, intersection_cardinality, lower_cardinality_many, nth_many, runs


def random_members(rng):
    shape = rng.choice(["runs", "sparse", "edges"])
    members = set()
    if shape == "runs":
        for _ in range(rng.randint(1, 30)):
            start = rng.choice([0, KEY - rng.randint(1, 50), rng.randrange(3 * KEY), MAX - rng.randint(0, 40)])
            members.update(range(start, min(MAX, start + rng.randint(1, 300)) + 1))
    elif shape == "sparse":
        members.update(rng.randrange(2**48) for _ in range(rng.randint(0, 400)))
    else:
        members.update([0, 1, KEY - 1, KEY, KEY + 1, 2 * KEY - 1, MAX - 1, MAX][:rng.randint(0, 8)])
    return sorted(members)


def model_runs(members):
    firsts, lasts = [], []
    for m in members:
        if lasts and m == lasts[-1] + 1:
            lasts[-1] = m
        else:
            firsts.append(m)
            lasts.append(m)
    return firsts, lasts


def test_bulk_queries_match_a_sorted_list():
    rng = random.Random(11)
    for _ in range(150):
        members = random_members(rng)
        bm = Bitmap(np.array(members, dtype=np.uint64))
        probes = [min(MAX, m + d) for m in members[:200] for d in (0, 1)] + [rng.randrange(2**64) for _ in range(50)]
        inside = contains_many(bm, np.array(probes, dtype=np.uint64))
        assert inside.dtype == np.bool_ and inside.tolist() == [p in set(members) for p in probes]
        below = lower_cardinality_many(bm, probes)
        assert below.dtype == np.uint64 and below.tolist() == [bisect.bisect_left(members, p) for p in probes]
        ordinals = [rng.randrange(len(members)) for _ in range(50)] if members else []
        assert nth_many(bm, ordinals).tolist() == [members[o] for o in ordinals]
        firsts, lasts = runs(bm)
        assert (firsts.tolist(), lasts.tolist()) == model_runs(members)
        other = random_members(rng)
        expected = len(set(members) & set(other))
        assert intersection_cardinality(bm, Bitmap(np.array(other, dtype=np.uint64))) == expected


@pytest.mark.parametrize("probe_count", [7, 100, 3000, 40000])
def test_bulk_queries_of_many_unsorted_values_against_numpy(probe_count):
    # Few probes over many entries are looked up one by one; many are sorted
    # (by a radix sort from 1024 on) and answered in one walk; ordinals at
    # least half as many as the members (40000 here) index a copy of them.
    rng = np.random.default_rng(probe_count)
    members = np.unique(np.concatenate([rng.integers(0, 2**48, 5000, dtype=np.uint64),
                                        np.arange(2**33 - 70000, 2**33 + 9, dtype=np.uint64)]))
    bm = Bitmap(members)
    probes = np.concatenate([rng.choice(members, probe_count // 2) + rng.integers(0, 2, probe_count // 2,
                                                                                 dtype=np.uint64),
                             rng.integers(0, 2**64 - 1, probe_count - probe_count // 2, dtype=np.uint64)])
    at = np.searchsorted(members, probes)
    assert (contains_many(bm, probes) == (members[np.minimum(at, len(members) - 1)] == probes)).all()
    assert (lower_cardinality_many(bm, probes) == at).all()
    ordinals = rng.integers(0, len(members), probe_count, dtype=np.uint64)
    assert (nth_many(bm, ordinals) == members[ordinals]).all()
    assert (nth_many(bm, np.sort(ordinals)) == members[np.sort(ordinals)]).all()


def test_bulk_arguments():
    bm = Bitmap([3, 5, MAX])
    values = np.array([3, 4, 5], dtype=np.uint64)
    assert contains_many(bm, values).tolist() == [True, False, True]
    assert contains_many(bm, values[::2]).tolist() == [True, True]  # strided: copied
    assert contains_many(bm, range(6)).tolist() == [False] * 3 + [True, False, True]
    assert lower_cardinality_many(bm, np.array([4, 6], dtype=np.int8)).tolist() == [1, 2]
    assert contains_many(bm, []).tolist() == []
    with pytest.raises(ValueError, match="^positions: negative value -2 at index 1$"):
        contains_many(bm, np.array([3, -2, -1]))
    for refused in (np.array([1.0]), ["a"], [True], [1, 2.5]):
        with pytest.raises(TypeError, match="must hold integers"):
            lower_cardinality_many(bm, refused)
    assert lower_cardinality_many(bm, [2**64 - 1, 4]).tolist() == [2, 1]  # ints on both sides of 2^63
    with pytest.raises(IndexError, match=r"^ordinal 3 at index 2 is past the last member \(cardinality 3\)$"):
        nth_many(bm, [0, 2, 3, 9])
    with pytest.raises(ValueError, match="one-dimensional"):
        nth_many(bm, [[0]])
    # A run that ends at 2^64 - 1 fits; runs go on across key boundaries.
    bm = Bitmap([KEY - 2, KEY - 1, KEY, MAX - 1, MAX])
    assert [a.tolist() for a in runs(bm)] == [[KEY - 2, MAX - 1], [KEY, MAX]]
    assert [a.tolist() for a in runs(Bitmap())] == [[], []]
    assert set(morvane_rec.__all__) >= {"contains_many", "runs", "intersection_cardinality"}


def test_union_all_and_intersection_all_equal_folding_the_operators():
    rng = random.Random(17)
    for _ in range(30):
        sets = []
        for _ in range(rng.randrange(1, 9)):
            keys = rng.sample([0, 1, 2, 2**31, 2**32 - 1], rng.randrange(0, 4))
            bitmap = morvane_rec.Bitmap(np.array([k * 2**32 + rng.randrange(2**20) for k in keys
                                         for _ in range(rng.choice([1, 50, 5000]))], dtype=np.uint64))
            if rng.random() < 0.3:  # a run container
                start = rng.choice(keys or [0]) * 2**32
                bitmap.set(start, start + 70000)
            sets.append(bitmap)
        if rng.random() < 0.3:
            sets.append(sets[0])  # the same set twice
        folds = ((morvane_rec.union_all, lambda a, b: a | b), (morvane_rec.intersection_all, lambda a, b: a & b))
        for many, fold in folds:
            expected = functools.reduce(fold, sets)
            got = many(iter(sets))
            assert got == expected and entry_keys(got) == entry_keys(expected)
            assert np.array_equal(got.index_array(), expected.index_array())


def test_union_all_and_intersection_all_refuse_what_they_cannot_combine():
    assert morvane_rec.union_all([]) == morvane_rec.Bitmap() and entry_keys(morvane_rec.union_all([])) == [0]
    with pytest.raises(ValueError, match="^intersection_all needs at least one Bitmap$"):
        morvane_rec.intersection_all(iter([]))
    with pytest.raises(TypeError, match="^union_all takes Bitmap objects, not int at index 1$"):
        morvane_rec.union_all([morvane_rec.Bitmap(), 5])
