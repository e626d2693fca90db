"""The installed type stub must list exactly what the module registers: the
same classes, methods, properties, keyword names, defaults and order."""
import ast
import os
import re

import _morvane_rec_extension as ext

STUB = os.path.join(os.path.dirname(ext.__file__), "_morvane_rec_extension.pyi")


def split_parameters(text):
    depth, current, out = 0, "", []
    for char in text:
        depth += char in "[(" and 1 or (char in "])" and -1 or 0)
        if char == "," and depth == 0:
            out.append(current.strip())
            current = ""
        else:
            current += char
    return out + [current.strip()] if current.strip() else out


def live_members(cls):
    """(name, kind, [(parameter, default)]) in registration order, from the
    signature line that pybind11 puts first in each docstring."""
    members = []
    for name, value in vars(cls).items():
        if isinstance(value, property):
            members.append((name, "property", []))
            continue
        kind = "static" if isinstance(value, staticmethod) else "method"
        function = value.__func__ if kind == "static" else value
        doc = getattr(function, "__doc__", None)
        match = re.match(r"%s\((.*)\) -> " % re.escape(name), doc or "")
        if not match:
            continue  # not registered by us (e.g. Python's own slots)
        parameters = []
        for text in split_parameters(match.group(1)):
            pname, _, rest = text.partition(":")
            default = rest.partition(" = ")[2] or None
            parameters.append((pname.strip(), default))
        if kind == "method":
            parameters = parameters[1:]  # self
        members.append((name, kind, parameters))
    return members


def stub_members(node):
    members = []
    for item in node.body:
        if not isinstance(item, ast.FunctionDef):
            continue
        decorators = {d.id for d in item.decorator_list if isinstance(d, ast.Name)}
        if "property" in decorators:
            members.append((item.name, "property", []))
            continue
        kind = "static" if "staticmethod" in decorators else "method"
        args = item.args.args[1:] if kind == "method" else item.args.args
        defaults = [None] * (len(args) - len(item.args.defaults)) + [
            repr(ast.literal_eval(d)) for d in item.args.defaults]
        members.append((item.name, kind, [
            # "__x" marks a positional-only parameter, which pybind11 names argN.
            ("arg%d" % i if a.arg.startswith("__") else a.arg, d)
            for i, (a, d) in enumerate(zip(args, defaults))]))
    return members


def test_stub_matches_the_live_module():
    with open(STUB) as handle:
        tree = ast.parse(handle.read())
    classes = {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}
    assert sorted(classes) == sorted(
        name for name, value in vars(ext).items() if isinstance(value, type))
    for name, node in classes.items():
        assert stub_members(node) == live_members(getattr(ext, name)), name


def test_every_method_is_documented_after_its_signature():
    for cls in (ext.Bitmap, ext.MemoryScanner):
        for name, value in vars(cls).items():
            if isinstance(value, property):
                assert value.__doc__, "%s.%s has no description" % (cls.__name__, name)
                continue
            doc = getattr(getattr(value, "__func__", value), "__doc__", None) or ""
            if "->" in doc.split("\n")[0]:
                assert len(doc.strip().split("\n")) > 1, "%s.%s has no description" % (cls.__name__, name)
