"""The type stubs shipped beside the compiled modules agree with the modules themselves:
every public function, class and method is in its module's stub with the parameters the
module reports, and nothing is in a stub that the module lacks."""

import ast
import importlib
import importlib.machinery
import pathlib
import types

import pytest

import meridan
import perilon

SUFFIXES = sorted(importlib.machinery.EXTENSION_SUFFIXES, key=len, reverse=True)


def compiled_modules():
    """(dotted name, stub file) of each compiled module of the installed packages. An
    editable install keeps the compiled files in one folder of the package's path and
    the sources (stubs included) in another: every folder is searched."""
    found = {}
    for package in (meridan, perilon):
        roots = [pathlib.Path(p) for p in package.__path__]
        for root in roots:
            for path in sorted(root.rglob("*")):
                suffix = next((s for s in SUFFIXES if path.name.endswith(s)), None)
                if suffix:
                    inner = path.relative_to(root).parts[:-1]
                    name = ".".join((package.__name__,) + inner
                                    + (path.name[:-len(suffix)],))
                    stub = pathlib.PurePath(*inner, path.name[:-len(suffix)] + ".pyi")
                    found[name] = next((r / stub for r in roots if (r / stub).is_file()),
                                       path.parent / stub.name)
    return sorted(found.items())


MODULES = compiled_modules()


def owns(module, obj):
    where = getattr(obj, "__module__", None)
    return where == module.__name__ or module.__name__.startswith(f"{where}.")


def text_signature(obj):
    sig = getattr(obj, "__text_signature__", None)
    if sig is None and hasattr(obj, "__wrapped__"):
        sig = getattr(obj.__wrapped__, "__text_signature__", None)
    return sig


def shape(args):
    """A parameter list as comparable rows: (kind, name, default or None); a stub's
    `...` default counts as any default."""
    def default(node):
        return None if node is None else ast.unparse(node)

    positional = args.posonlyargs + args.args
    defaults = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    rows = [("positional only" if i < len(args.posonlyargs) else "positional", a.arg,
             default(d)) for i, (a, d) in enumerate(zip(positional, defaults))]
    if args.vararg:
        rows.append(("*", args.vararg.arg, None))
    rows += [("keyword only", a.arg, default(d))
             for a, d in zip(args.kwonlyargs, args.kw_defaults)]
    if args.kwarg:
        rows.append(("**", args.kwarg.arg, None))
    return rows


def live_shape(sig):
    return shape(ast.parse(f"def f{sig.replace('$', '')}: pass").body[0].args)


def public(name):
    return not name.startswith("_") or name in ("__init__", "__call__")


def live_api(module):
    """{qualified name: text signature} of the public callables `module` defines."""
    api = {}
    for name, obj in vars(module).items():
        if not public(name) or isinstance(obj, types.ModuleType) or not owns(module, obj):
            continue
        if isinstance(obj, type):
            api[name] = None
            for attr, value in vars(obj).items():
                if public(attr) and callable(value) and text_signature(value):
                    api[f"{name}.{attr}"] = text_signature(value)
        elif callable(obj) and text_signature(obj):
            api[name] = text_signature(obj)
    return api


def stub_api(tree):
    """{qualified name: ast.arguments, or None for a class} of a stub's definitions."""
    api = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            api[node.name] = node.args
        elif isinstance(node, ast.ClassDef):
            api[node.name] = None
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    api[f"{node.name}.{item.name}"] = item.args
    return api


def test_every_compiled_module_is_found():
    names = {name for name, _ in MODULES}
    assert {"meridan.pcalc.portfolio", "meridan.brinson.calc", "perilon._risk"} <= names
    for package in (meridan, perilon):
        assert (pathlib.Path(package.__file__).parent / "py.typed").is_file()


@pytest.mark.parametrize("name, path", MODULES, ids=[name for name, _ in MODULES])
def test_stub_matches_the_module(name, path):
    stub = path
    assert stub.is_file(), f"{name} has no stub; run tools/make_stubs.py"
    module = importlib.import_module(name)
    live = live_api(module)
    declared = stub_api(ast.parse(stub.read_text(encoding="utf-8"), filename=str(stub)))

    assert live, f"{name} defines no public callable"
    missing = sorted(set(live) - set(declared))
    assert not missing, f"{stub.name} lacks {missing}; run tools/make_stubs.py"
    for qualname, sig in live.items():
        if sig is not None:
            want, got = live_shape(sig), shape(declared[qualname])
            assert [(k, n) for k, n, _ in got] == [(k, n) for k, n, _ in want], \
                f"{name}.{qualname}: stub parameters differ from {sig}"
            for (_, param, mine), (_, _, theirs) in zip(got, want):
                assert (mine is None) == (theirs is None) and mine in (theirs, "..."), \
                    f"{name}.{qualname}: default of {param} is {mine}, not {theirs}"
    # A stub promises nothing the module does not have (private names included).
    for qualname in declared:
        owner, _, attr = qualname.partition(".")
        assert hasattr(module, owner), f"{stub.name} declares {owner}, {name} has none"
        if attr:
            assert hasattr(getattr(module, owner), attr), \
                f"{stub.name} declares {qualname}, {name} has none"
