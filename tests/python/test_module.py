import ast
import glob
import os
import subprocess
import sys

import _morvane_rec_extension as ext
import numpy as np
import pytest
from conftest import KEY, MAX

BITMAP_NAMES = [
    "__init__", "copy", "slice", "persisted_size", "read", "write", "cardinality", "empty",
    "first", "last", "in_memory_size", "lower_cardinality", "upper_cardinality", "nth",
    "self_or_next", "self_or_previous", "subset_of", "strict_subset_of", "contains", "all",
    "any", "__len__", "__contains__", "contract", "expand", "set", "unset", "flip",
    "symmetric_difference", "union", "intersect", "difference", "__or__", "__and__", "__sub__",
    "__xor__", "__eq__", "inplace_symmetric_difference", "inplace_union", "inplace_intersect",
    "inplace_difference", "__ior__", "__iand__", "__isub__", "__ixor__", "__iter__",
    "index_array", "bool_array",
]


def test_module_holds_both_classes_in_registration_order():
    public = [name for name in vars(ext) if not name.startswith("_")]
    assert public == ["MemoryScanner", "Bitmap"]
    # The bulk functions' native part is private; the package publishes them.
    # The test build adds its hooks (`_testing`); wheels do not have them.
    private = [name for name in vars(ext) if name.startswith("_") and not name.startswith("__")]
    assert private in (["_bulk"], ["_bulk", "_testing"])
    registered = [n for n in vars(ext.Bitmap) if n in BITMAP_NAMES]
    assert registered == BITMAP_NAMES
    assert [n for n in vars(ext.MemoryScanner) if n in ("__init__", "scan")] == ["__init__", "scan"]
    assert ext.Bitmap.__hash__ is None


def _pybind11_rendering():
    import pybind11  # the build dependency in this venv
    major, minor = (int(part) for part in pybind11.__version__.split(".")[:2])
    return major if major >= 3 else (major, minor)


# The stored signature lines as each pybind11 renders them: 2.11 (pinned for
# CPython 3.7), 2.13 (the newest for 3.8) and 3.x (newer interpreters).
SIGNATURES = {
    (2, 11): {
        "set": "set(self: _morvane_rec_extension.Bitmap, position: int, endEx: Optional[int] = None) -> None",
        "flip": "position: int, endEx: Optional[int]) -> None",
        "scan": "scan(self: _morvane_rec_extension.MemoryScanner, arg0: buffer) -> Tuple[int, int]",
        "iter": "-> Iterator",
    },
    (2, 13): {
        "set": "set(self: _morvane_rec_extension.Bitmap, position: int, endEx: Optional[int] = None) -> None",
        "flip": "position: int, endEx: Optional[int]) -> None",
        "scan": "scan(self: _morvane_rec_extension.MemoryScanner, arg0: Buffer) -> tuple[int, int]",
        "iter": "-> Iterator",
    },
    3: {
        "set": "set(self: _morvane_rec_extension.Bitmap, position: typing.SupportsInt | "
               "typing.SupportsIndex, endEx: typing.SupportsInt | typing.SupportsIndex | None = None)"
               " -> None",
        "flip": "endEx: typing.SupportsInt | typing.SupportsIndex | None) -> None",
        # collections.abc.Buffer exists from CPython 3.12; before, pybind11 names typing_extensions'.
        "scan": "scan(self: _morvane_rec_extension.MemoryScanner, arg0: %s.Buffer) -> tuple[int, int]"
                % ("collections.abc" if sys.version_info >= (3, 12) else "typing_extensions"),
        "iter": "-> collections.abc.Iterator",
    },
}


def test_stored_signatures():
    expected = SIGNATURES[_pybind11_rendering()]
    assert ext.Bitmap.set.__doc__.splitlines()[0] == expected["set"]
    assert ext.Bitmap.flip.__doc__.splitlines()[0].endswith(expected["flip"])
    assert ext.Bitmap.cardinality.fget.__doc__.splitlines()[0] == "(self: _morvane_rec_extension.Bitmap) -> int"
    assert ext.MemoryScanner.scan.__doc__.splitlines()[0] == expected["scan"]
    assert ext.Bitmap.__iter__.__doc__.splitlines()[0].endswith(expected["iter"])


def _other_python():
    """Another CPython than the running one (the module was built for the running one)."""
    # The next newer version first: an older one may lack symbols the module uses.
    for version in ("3.%d" % (sys.version_info[1] + 1), "3.8", "3.7"):
        if version == "%d.%d" % sys.version_info[:2]:
            continue
        try:
            prefix = subprocess.run(["pyenv", "prefix", version], capture_output=True, text=True).stdout.strip()
        except FileNotFoundError:
            return None
        candidates = glob.glob(os.path.join(prefix, "bin", "python" + version)) if prefix else []
        if candidates:
            return candidates[0]
    return None


def test_import_refused_by_another_interpreter_version():
    other = _other_python()
    if other is None:
        pytest.skip("no other CPython on this machine")
    code = (
        "import importlib.machinery, importlib.util, sys\n"
        "loader = importlib.machinery.ExtensionFileLoader('_morvane_rec_extension', sys.argv[1])\n"
        "module_spec = importlib.util.spec_from_file_location('_morvane_rec_extension', sys.argv[1], loader=loader)\n"
        "try:\n"
        "    importlib.util.module_from_spec(module_spec)\n"
        "except ImportError as error:\n"
        "    print(repr(str(error)))\n"
        "    print(repr(sys.version))\n"
    )
    out = subprocess.run([other, "-c", code, ext.__file__], capture_output=True, text=True, check=True).stdout
    message, version = (ast.literal_eval(line) for line in out.splitlines())
    if sys.version_info[:2] != (3, 7) and "undefined symbol" in message:
        return  # the loader refused first: this build needs symbols that interpreter lacks
    assert message == (
        "Python version mismatch: module was compiled for Python %d.%d, but the interpreter "
        "version is incompatible: %s." % (sys.version_info[0], sys.version_info[1], version))


@pytest.mark.parametrize("call", [
    lambda b: b.set(1), lambda b: b.contains(1), lambda b: len(b), lambda b: b.cardinality,
    lambda b: b.copy(), lambda b: list(b), lambda b: ext.Bitmap() | b, lambda b: b == ext.Bitmap(),
])
def test_instance_without_init_is_refused(call):
    bare = ext.Bitmap.__new__(ext.Bitmap)
    with pytest.raises(TypeError):
        call(bare)


def test_scanner_without_init_is_refused():
    with pytest.raises(TypeError):
        ext.MemoryScanner.__new__(ext.MemoryScanner).scan(b"{}")


@pytest.mark.parametrize("value", [-1, 2**64, 1.0, None, "a", [1]])
def test_refused_positions_are_type_errors(value):
    bm = ext.Bitmap()
    with pytest.raises(TypeError):
        bm.set(value)
    with pytest.raises(TypeError):
        value in bm  # noqa: B015 - must raise
    with pytest.raises(TypeError):
        bm.all(value, 5)
    assert bm.empty


def test_accepted_position_forms():
    bm = ext.Bitmap()
    bm.set(True)
    bm.set(np.uint64(MAX))
    bm.set(np.int8(7))
    assert list(bm) == [1, 7, MAX]


def test_attributes_are_fixed():
    bm = ext.Bitmap()
    with pytest.raises(AttributeError):
        bm.first = 3
    with pytest.raises(AttributeError):
        bm.extra = 1
    with pytest.raises(TypeError):
        hash(bm)
    with pytest.raises(TypeError):
        bm.in_memory_size()


def test_subclasses_work():
    class Rows(ext.Bitmap):
        pass

    rows = Rows([1, KEY])
    assert rows.contains(KEY) and ext.Bitmap([1, KEY]) == rows


@pytest.mark.parametrize("fake_version", ["2.1.0", "3.0.0"])
def test_import_refuses_a_numpy_whose_arrays_the_build_cannot_read(tmp_path, fake_version):
    # pybind11 before 2.12 (the CPython 3.7 build) reads NumPy 1 arrays only;
    # later builds read NumPy 1 and 2.
    readable = 1 if sys.version_info < (3, 8) else 2
    (tmp_path / "numpy").mkdir()
    (tmp_path / "numpy" / "__init__.py").write_text("__version__ = %r\n" % fake_version)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(tmp_path)] + sys.path))
    child = subprocess.run([sys.executable, "-c", "import _morvane_rec_extension"],
                           capture_output=True, text=True, env=env, timeout=60)
    if int(fake_version[0]) <= readable:
        assert child.returncode == 0, child.stderr
    else:
        assert "ImportError: _morvane_rec_extension was built with pybind11 " in child.stderr
        assert "only; NumPy %s is installed" % fake_version in child.stderr
