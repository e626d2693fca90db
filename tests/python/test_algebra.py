import _morvane_rec_extension as ext
import pytest
from conftest import KEY, entry_keys

Bitmap = ext.Bitmap


def test_by_value_forms_agree_and_leave_operands():
    a, b = Bitmap([1, 2, KEY]), Bitmap([2, 3, 5 * KEY])
    for result in (a | b, a.union(b), a.__or__(b)):
        assert list(result) == [1, 2, 3, KEY, 5 * KEY]
    assert list(a & b) == list(a.intersect(b)) == [2]
    assert list(a - b) == list(a.difference(b)) == [1, KEY]
    assert list(a ^ b) == list(a.symmetric_difference(b)) == [1, 3, KEY, 5 * KEY]
    assert list(a) == [1, 2, KEY] and list(b) == [2, 3, 5 * KEY]
    assert entry_keys(a | b) == [0, 1, 5] and entry_keys(a & b) == [0, 1]


def test_in_place_forms_change_receiver_and_return_a_copy():
    a, c = Bitmap([1]), Bitmap([7])
    b = a
    a |= c
    assert a is not b and a == b and list(b) == [1, 7]
    returned = b.inplace_union(Bitmap([9]))
    assert returned is not b and list(b) == [1, 7, 9] and returned == b
    returned.set(100)
    assert 100 not in b
    for method, operand, expected in [("inplace_intersect", [7], [7]),
                                      ("inplace_difference", [7], [1, 9]),
                                      ("inplace_symmetric_difference", [7, 8], [1, 8, 9])]:
        x = Bitmap([1, 7, 9])
        getattr(x, method)(Bitmap(operand))
        assert list(x) == expected, method


def test_augmented_operators():
    x = Bitmap([1, 2, 3])
    x &= Bitmap([2, 3, 4])
    x -= Bitmap([3])
    x ^= Bitmap([2, 9])
    assert list(x) == [9]


def test_self_operands():
    a = Bitmap([1, KEY])
    a |= a
    assert list(a) == [1, KEY]
    assert a.intersect(a) == a
    assert (a ^ a).empty and entry_keys(a ^ a) == [0, 1]
    assert a.inplace_difference(a).empty and a.empty


def test_comparisons():
    a = Bitmap([1, KEY])
    assert a.subset_of(a) and not a.strict_subset_of(a)
    assert a.strict_subset_of(Bitmap([1, 2, KEY]))
    assert not a.subset_of(Bitmap([1, 2])) and Bitmap().subset_of(Bitmap([7]))
    assert Bitmap() == Bitmap([]) and not (Bitmap([1]) != Bitmap([1]))
    assert Bitmap([1]) != Bitmap([2])


@pytest.mark.parametrize("operand", [5, None, "x", [1]])
def test_foreign_operands_are_type_errors(operand):
    a = Bitmap([1])
    for call in (lambda: a | operand, lambda: a == operand, lambda: a != operand,
                 lambda: a.union(operand), lambda: a.subset_of(operand),
                 lambda: a.inplace_union(operand), lambda: a & operand):
        with pytest.raises(TypeError):
            call()
    with pytest.raises(TypeError):
        a |= operand
