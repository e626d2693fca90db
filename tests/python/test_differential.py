"""Random operation sequences applied side by side to Bitmap and to the
pure-Python model; members, entries, results and exceptions must agree after
every step. MORVANE_DIFF_SEQUENCES sets the number of sequences (and
MORVANE_DIFF_SEED the first seed) for long runs."""
import os
import random

import _morvane_rec_extension as ext
import numpy as np
import pytest
from conftest import entry_keys
from reference_model import KEY, MAX, Model

SEQUENCES = int(os.environ.get("MORVANE_DIFF_SEQUENCES", "300"))
FIRST_SEED = int(os.environ.get("MORVANE_DIFF_SEED", "1"))
STEPS = 40
POOL = 3
GROUPS = 10


def assert_same(bitmap, model, context):
    assert bitmap.cardinality == model.count(), context
    assert bitmap.first == model.first() and bitmap.last == model.last(), context
    # Equal counts below both ends of every model interval, plus equal totals,
    # pin the members exactly without listing them.
    for a, b in model.iv:
        assert bitmap.lower_cardinality(a) == model.count(0, a), context
        assert bitmap.contains(b - 1) and bitmap.lower_cardinality(b - 1) == model.count(0, b - 1), context
    assert entry_keys(bitmap, portable=False) == sorted(model.keys), context


def outcome(call):
    try:
        return ("value", call())
    except Exception as error:  # the class and message are compared
        return ("raised", type(error), str(error))


class Sequence:
    def __init__(self, seed):
        self.rng = random.Random(seed)
        self.anchors = [0, KEY, 2 * KEY, 3 * KEY, MAX - KEY + 1,
                        self.rng.randrange(1 << 64) & ~(KEY - 1)]

    def position(self):
        rng = self.rng
        pick = rng.random()
        if pick < 0.1:
            return rng.randrange(1 << 64)
        if pick < 0.2:
            return MAX - rng.randrange(40)
        base = rng.choice(self.anchors)
        offset = rng.randrange(-40, 40) if rng.random() < 0.8 else rng.randrange(-KEY // 2, KEY // 2)
        return min(max(base + offset, 0), MAX)

    def range_end(self, start):
        rng = self.rng
        pick = rng.random()
        if pick < 0.15:
            return max(start - rng.randrange(KEY + 100), 0)  # reversed, maybe across keys
        length = rng.randrange(200) if pick < 0.75 else rng.randrange(3 * KEY)
        return min(start + length, MAX)

    def width(self):
        pick = self.rng.random()
        if pick < 0.7:
            return self.rng.randrange(50)
        if pick < 0.9:
            return KEY - 1 - self.rng.randrange(50)
        return KEY + self.rng.randrange(3)

    def fresh(self):
        positions = [self.position() for _ in range(self.rng.randrange(6))]
        return ext.Bitmap(np.array(positions, dtype=np.uint64)), Model(positions)


def step(seq, bitmaps, models, log):
    """One random operation on both sides; returns what to compare."""
    rng = seq.rng
    i, j = rng.randrange(POOL), rng.randrange(POOL)
    bm, md = bitmaps[i], models[i]
    p = seq.position()
    e = seq.range_end(p)
    name = rng.choice([
        "set", "set_range", "unset", "unset_range", "flip", "flip_one", "contains",
        "all", "any", "lower", "upper", "nth", "next", "previous", "subset", "strict",
        "eq", "algebra", "inplace", "slice", "expand", "contract", "roundtrip", "copy",
        "list", "fresh",
    ])
    log.append((name, i, j, p, e))
    if name == "set":
        return outcome(lambda: bm.set(p)), outcome(lambda: md.add(p))
    if name == "set_range":
        return outcome(lambda: bm.set(p, e)), outcome(lambda: md.add_range(p, e))
    if name == "unset":
        return outcome(lambda: bm.unset(p)), outcome(lambda: md.remove(p))
    if name == "unset_range":
        return outcome(lambda: bm.unset(p, endEx=e)), outcome(lambda: md.remove_range(p, e))
    if name == "flip":
        return outcome(lambda: bm.flip(p, e)), outcome(lambda: md.flip(p, e))
    if name == "flip_one":
        q = rng.choice([p, MAX])
        return outcome(lambda: bm.flip(q, None)), outcome(lambda: md.flip(q, None))
    if name == "contains":
        return outcome(lambda: p in bm), outcome(lambda: md.contains(p))
    if name in ("all", "any"):
        return outcome(lambda: getattr(bm, name)(p, e)), outcome(lambda: getattr(md, name)(p, e))
    if name == "lower":
        return outcome(lambda: bm.lower_cardinality(p)), outcome(lambda: md.lower_cardinality(p))
    if name == "upper":
        return outcome(lambda: bm.upper_cardinality(p)), outcome(lambda: md.upper_cardinality(p))
    if name == "nth":
        n = rng.choice([0, md.count(), md.count() - 1, rng.randrange(md.count() + 2)])
        n = max(n, 0)
        return outcome(lambda: bm.nth(n)), outcome(lambda: md.nth(n))
    if name == "next":
        return outcome(lambda: bm.self_or_next(p)), outcome(lambda: md.self_or_next(p))
    if name == "previous":
        return outcome(lambda: bm.self_or_previous(p)), outcome(lambda: md.self_or_previous(p))
    if name == "subset":
        return outcome(lambda: bm.subset_of(bitmaps[j])), outcome(lambda: md.subset_of(models[j]))
    if name == "strict":
        return (outcome(lambda: bm.strict_subset_of(bitmaps[j])),
                outcome(lambda: md.strict_subset_of(models[j])))
    if name == "eq":
        return outcome(lambda: bm == bitmaps[j]), outcome(lambda: md == models[j])
    if name == "algebra":
        op = rng.choice("|&-^")
        result = {"|": bm | bitmaps[j], "&": bm & bitmaps[j],
                  "-": bm - bitmaps[j], "^": bm ^ bitmaps[j]}[op]
        assert_same(result, md.copy().inplace(op, models[j]), log)
        return None
    if name == "inplace":
        op = rng.choice("|&-^")
        method = {"|": "inplace_union", "&": "inplace_intersect",
                  "-": "inplace_difference", "^": "inplace_symmetric_difference"}[op]
        result = getattr(bm, method)(bitmaps[j])
        md.inplace(op, models[j])
        assert_same(result, md, log)
        return None
    if name == "slice":
        bm_result, md_result = outcome(lambda: bm.slice(p, e)), outcome(lambda: md.slice(p, e))
        if bm_result[0] == md_result[0] == "value":
            assert_same(bm_result[1], md_result[1], log)
            return None
        return bm_result, md_result
    if name in ("expand", "contract"):
        target = p if rng.random() < 0.5 or md.last() is None else md.nth(rng.randrange(md.count()))
        by = seq.width()
        return (outcome(lambda: getattr(bm, name)(target, by)),
                outcome(lambda: getattr(md, name)(target, by)))
    if name == "roundtrip":
        portable = rng.random() < 0.5
        size = bm.persisted_size(portable)
        buf = bytearray(size + rng.randrange(3))
        assert bm.write(buf, portable) == size, log
        assert_same(ext.Bitmap.read(buf, portable), md, log)
        return None
    if name == "copy":
        assert_same(bm.copy(), md, log)
        return None
    if name == "list":
        if md.count() <= 2000:
            return (outcome(lambda: (list(bm), bm.index_array().tolist())),
                    outcome(lambda: (md.members(), md.members())))
        return None
    bitmaps[i], models[i] = seq.fresh()
    return None


def run_sequence(seed):
    seq = Sequence(seed)
    pool = [seq.fresh() for _ in range(POOL)]
    bitmaps, models = [b for b, _ in pool], [m for _, m in pool]
    log = ["seed %d" % seed]
    for _ in range(STEPS):
        compared = step(seq, bitmaps, models, log)
        if compared is not None:
            assert compared[0] == compared[1], log
        for bm, md in zip(bitmaps, models):
            assert_same(bm, md, log)
    return STEPS


@pytest.mark.parametrize("group", range(GROUPS))
def test_random_sequences_match_the_model(group):
    seeds = range(FIRST_SEED + group, FIRST_SEED + SEQUENCES, GROUPS)
    assert sum(run_sequence(seed) for seed in seeds) == STEPS * len(seeds)
