"""The examples in the documentation run and print what they say: every
docstring of the _nimbra stubs and every docstring of the nimbra package,
under doctest."""

import ast
import doctest
import importlib
import pathlib
import pkgutil

import pytest

STUBS = pathlib.Path(__file__).resolve().parents[2] / "python" / "_nimbra-stubs"


def stub_docstrings():
    """(qualified name, docstring, line) of every documented node of the stubs."""
    for path in sorted(STUBS.glob("*.pyi")):
        module = "_nimbra" if path.stem == "__init__" else f"_nimbra.{path.stem}"
        tree = ast.parse(path.read_text(), str(path))

        def walk(node, prefix):
            for child in ast.iter_child_nodes(node):
                if isinstance(child, (ast.ClassDef, ast.FunctionDef)):
                    name = f"{prefix}.{child.name}"
                    doc = ast.get_docstring(child, clean=True)
                    if doc:
                        yield name, doc, child.lineno
                    yield from walk(child, name)
                elif isinstance(child, ast.If):  # version-dependent members
                    yield from walk(child, prefix)

        doc = ast.get_docstring(tree, clean=True)
        if doc:
            yield module, doc, 1
        yield from walk(tree, module)


def package_tests():
    """Doctests of every module of the nimbra package (new modules included)."""
    try:
        import nimbra
    except ImportError:  # the extension taken from a build folder, the package not installed
        return
    finder = doctest.DocTestFinder(exclude_empty=True)
    modules = [nimbra] + [
        importlib.import_module(info.name) for info in pkgutil.walk_packages(nimbra.__path__, "nimbra.")
    ]
    for module in modules:
        # Objects re-exported from _nimbra are tested through the stubs.
        yield from (t for t in finder.find(module) if t.examples and not t.name.startswith("_nimbra"))


STUB_CASES = [pytest.param(doc, line, id=name) for name, doc, line in stub_docstrings() if ">>>" in doc]
PACKAGE_CASES = [pytest.param(test, id=test.name) for test in package_tests()]


def run(test):
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    output = []
    runner.run(test, out=output.append)
    assert runner.failures == 0, "".join(output)


@pytest.mark.parametrize(("doc", "line"), STUB_CASES)
def test_stub_examples(doc, line, request):
    name = request.node.callspec.id
    run(doctest.DocTestParser().get_doctest(doc, {}, name, str(STUBS), line))


@pytest.mark.parametrize("test", PACKAGE_CASES)
def test_package_examples(test):
    run(test)


def test_every_public_name_is_documented():
    documented = {name for name, _, _ in stub_docstrings()}
    import _nimbra

    public = [
        f"{prefix}.{name}.{member}"
        for prefix, module in (("_nimbra", _nimbra), ("_nimbra.nn", _nimbra.nn))
        for name in module.__all__
        if isinstance(getattr(module, name), type)
        for member in vars(getattr(module, name))
        if not member.startswith("_")
    ]
    assert public and [name for name in public if name not in documented] == []
