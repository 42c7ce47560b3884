"""Module facts: attributes, documentation, the Tensor type object, and the
rule that each module object is made at most once per process."""

import gc
import importlib
import importlib.util
import inspect
import sys
import types
import weakref

import pytest

import _nimbra
from _nimbra import Tensor
from reference import run_python

ONCE = "may only be initialized once per interpreter process"
SUBINTERPRETERS = next((m for m in ("_interpreters", "_xxsubinterpreters") if importlib.util.find_spec(m)), None)


# ---- the module ------------------------------------------------------------


def test_exported_names_in_order():
    assert _nimbra.__all__ == ["Tensor", "nn", "__version__"]
    assert type(_nimbra.__all__) is list


def test_version_and_doc():
    assert _nimbra.__version__ == "0.1.0"
    assert type(_nimbra.__version__) is str
    assert _nimbra.__doc__ == "Main Python module"
    assert _nimbra.__name__ == "_nimbra"


def test_module_has_only_its_attributes():
    standard = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}
    own = set(vars(_nimbra)) - standard
    # Beyond those, only the functions through which the nimbra package
    # reaches C++, all private.
    private = {n for n, v in vars(_nimbra).items() if isinstance(v, types.BuiltinFunctionType)}
    assert own - private == {"Tensor", "nn", "__version__", "__all__"}
    assert all(n.startswith("_") and not n.startswith("__") for n in private)


def test_star_import_gives_the_exported_names():
    scope = {}
    exec("from _nimbra import *", scope)
    assert scope["Tensor"] is Tensor
    assert scope["nn"] is _nimbra.nn
    assert scope["__version__"] == "0.1.0"


def test_nn_submodule_attached_not_registered():
    nn = _nimbra.nn
    assert isinstance(nn, types.ModuleType)
    assert nn.__name__ == "nn"
    assert nn.__doc__ == "Neural network module"
    assert "_nimbra.nn" not in sys.modules
    from _nimbra import nn as again

    assert again is nn
    with pytest.raises(ModuleNotFoundError):
        importlib.import_module("_nimbra.nn")


def test_results_have_the_module_type():
    for t in (Tensor([1.0], [1]), Tensor.zeros([2]), Tensor.ones([])):
        assert type(t) is _nimbra.Tensor


# ---- the Tensor type object ------------------------------------------------


def test_tensor_names_and_docs():
    assert Tensor.__module__ == "_nimbra"
    assert Tensor.__name__ == "Tensor"
    assert Tensor.__qualname__ == "Tensor"
    assert Tensor.__doc__ == "Python wrapper for Nimbra Tensor"
    assert Tensor.__text_signature__ == "(data, shape)"
    assert str(inspect.signature(Tensor)) == "(data, shape)"


@pytest.mark.parametrize(
    "name, signature, doc",
    [
        ("zeros", "(shape)", "Create a tensor filled with zeros"),
        ("ones", "(shape)", "Create a tensor filled with ones"),
    ],
)
def test_static_method_docs(name, signature, doc):
    method = getattr(Tensor, name)
    assert method.__doc__ == doc
    assert method.__text_signature__ == signature
    assert str(inspect.signature(method)) == signature
    assert isinstance(inspect.getattr_static(Tensor, name), staticmethod)
    # Reachable through an instance as well, still without self.
    assert getattr(Tensor.zeros([1]), name)([2]).shape == [2]


def test_tolist_doc_and_signature():
    assert Tensor.tolist.__doc__ == "Convert to Python list"
    assert Tensor.tolist.__text_signature__ == "($self)"
    assert str(inspect.signature(Tensor.tolist)) == "(self, /)"
    assert str(inspect.signature(Tensor.zeros([1]).tolist)) == "()"


@pytest.mark.parametrize(
    "name, doc",
    [("shape", "Get tensor shape"), ("ndim", "Get number of dimensions"), ("size", "Get total number of elements")],
)
def test_property_docs(name, doc):
    descriptor = inspect.getattr_static(Tensor, name)
    assert type(descriptor).__name__ == "getset_descriptor"
    assert descriptor.__doc__ == doc


def test_cannot_subclass():
    with pytest.raises(TypeError):

        class Sub(Tensor):
            pass

    with pytest.raises(TypeError):
        type("Sub", (Tensor,), {})


def test_no_instance_dict_no_weakref_not_tracked():
    t = Tensor.zeros([2])
    assert Tensor.__dictoffset__ == 0
    assert Tensor.__weakrefoffset__ == 0
    with pytest.raises(AttributeError):
        t.__dict__
    with pytest.raises(AttributeError):
        t.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(t)
    assert not gc.is_tracked(t)
    assert not Tensor.__flags__ & (1 << 14), "no cyclic-GC support"


def test_identity_comparison_and_hash():
    a = Tensor([1.0], [1])
    b = Tensor([1.0], [1])
    assert a == a
    assert a != b
    assert hash(a) == hash(a)
    assert str(a) == repr(a)


def test_new_checks_the_class():
    assert Tensor.__new__(Tensor, [1.0], [1]).tolist() == [1.0]
    with pytest.raises(TypeError):
        Tensor.__new__(int, [1.0], [1])


# ---- at most one module object per process ---------------------------------


def test_second_initialisation_refused(extension_path):
    before_all = list(_nimbra.__all__)
    before_vars = dict(vars(_nimbra))
    location = importlib.util.spec_from_file_location("_nimbra", extension_path)
    with pytest.raises(ImportError) as info:
        importlib.util.module_from_spec(location)
    assert str(info.value).endswith(ONCE)
    # The first module is the only one and is unchanged.
    assert sys.modules["_nimbra"] is _nimbra
    assert _nimbra.__all__ == before_all
    assert dict(vars(_nimbra)) == before_vars
    assert _nimbra.Tensor is Tensor
    assert Tensor([1.0, 2.0], [2]).tolist() == [1.0, 2.0]


def test_nn_entry_point_after_main_refused(extension_path):
    nn = _nimbra.nn
    location = importlib.util.spec_from_file_location("nn", extension_path)
    with pytest.raises(ImportError) as info:
        importlib.util.module_from_spec(location)
    assert str(info.value).endswith(ONCE)
    assert _nimbra.nn is nn
    assert "nn" not in sys.modules or sys.modules["nn"] is not nn


def test_fresh_interpreter_import():
    out = run_python(
        """
        import sys
        import _nimbra
        assert _nimbra.__all__ == ["Tensor", "nn", "__version__"], _nimbra.__all__
        assert "_nimbra.nn" not in sys.modules
        assert "nn" not in sys.modules
        print(_nimbra.Tensor([[1, 2], [3, 4]], [2, 2]))
        """
    )
    assert out == "Tensor(shape=[2, 2], dtype=f32)\n"


def test_nn_imported_first_then_main_refused():
    out = run_python(
        """
        import importlib.util, sys
        location = importlib.util.spec_from_file_location("nn", EXTENSION)
        nn = importlib.util.module_from_spec(location)
        assert nn.__name__ == "nn" and nn.__doc__ == "Neural network module"
        for attempt in range(2):
            try:
                import _nimbra
            except ImportError as e:
                print(type(e).__name__, e)
            else:
                raise SystemExit("import _nimbra succeeded")
            assert "_nimbra" not in sys.modules
        try:
            importlib.util.module_from_spec(importlib.util.spec_from_file_location("nn", EXTENSION))
        except ImportError as e:
            print("again:", e)
        """
    )
    lines = out.splitlines()
    assert len(lines) == 3, out
    assert lines[0] == lines[1]
    assert lines[0].startswith("ImportError ")
    text = lines[0][len("ImportError ") :]
    assert "nn" in text and len(text) > 30, "the text must say what went wrong"
    assert lines[2].startswith("again: ") and lines[2].endswith(ONCE)


@pytest.mark.skipif(SUBINTERPRETERS is None, reason="this Python has no subinterpreter module")
@pytest.mark.parametrize("main_first", [False, True], ids=["subinterpreter-first", "main-first"])
@pytest.mark.parametrize(
    "attempt",
    ["import _nimbra", "importlib.util.module_from_spec(importlib.util.spec_from_file_location('nn', EXTENSION))"],
    ids=["_nimbra", "nn"],
)
def test_subinterpreter_refused_main_unharmed(main_first, attempt):
    # Whatever a subinterpreter made would die with it while its process-wide
    # slot stayed taken, locking the main interpreter out.
    sub_code = (
        "import importlib.util\nEXTENSION = importlib.util.find_spec('_nimbra').origin\n"
        f"try:\n    {attempt}\nexcept ImportError as e:\n    print('refused:', e, flush=True)\n"
    )
    out = run_python(
        f"""
        import {SUBINTERPRETERS} as interpreters
        {"import _nimbra" if main_first else ""}
        for _ in range(2):
            sub = interpreters.create()
            interpreters.run_string(sub, {sub_code!r})
            interpreters.destroy(sub)
        import _nimbra
        x = _nimbra.Tensor([1.0, -2.0], [1, 2])
        print(_nimbra.nn.ReLU()(x).tolist(), _nimbra.nn.Linear(2, 3)(x).shape)
        """
    )
    lines = out.splitlines()
    assert len(lines) == 3, out
    assert lines[0] == lines[1]
    assert lines[0].startswith("refused: ") and "subinterpreter" in lines[0]
    assert lines[2] == "[1.0, 0.0] [1, 3]"
