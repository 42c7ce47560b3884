"""The installed distribution: the nimbra package's re-exports, one version
everywhere, and the licence and classifiers a package index reads."""

import importlib.metadata
import pathlib
import re

import pytest

import _nimbra

ROOT = pathlib.Path(__file__).resolve().parents[2]


@pytest.fixture(scope="module")
def metadata():
    try:
        return importlib.metadata.metadata("nimbra")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("nimbra is not installed (extension taken from a build folder)")


def test_nimbra_package_reexports_the_extension(metadata):
    import nimbra
    from nimbra.nn import Linear, ReLU, Sigmoid

    assert nimbra.__all__ == _nimbra.__all__ + ["sum", "mean", "max", "min", "argmax", "argmin",
                                                "functional", *nimbra.functional.__all__, "onnx"]
    assert nimbra.Tensor is _nimbra.Tensor
    assert nimbra.__version__ == _nimbra.__version__
    assert (Linear, ReLU, Sigmoid) == (_nimbra.nn.Linear, _nimbra.nn.ReLU, _nimbra.nn.Sigmoid)
    assert nimbra.nn.__all__[:3] == _nimbra.nn.__all__


def test_one_version_everywhere(metadata):
    cmake = re.search(r"project\(nimbra VERSION ([0-9.]+)", (ROOT / "CMakeLists.txt").read_text())
    assert metadata["Version"] == _nimbra.__version__ == cmake.group(1)


def test_licence_classifiers_and_type_information(metadata):
    assert metadata["License-Expression"] == "MIT"
    classifiers = metadata.get_all("Classifier")
    assert "Typing :: Typed" in classifiers
    assert {f"Programming Language :: Python :: 3.{minor}" for minor in (11, 12, 13)} <= set(classifiers)
    files = {str(f) for f in importlib.metadata.files("nimbra")}
    assert {"_nimbra-stubs/__init__.pyi", "_nimbra-stubs/nn.pyi", "nimbra/py.typed"} <= files
    assert any(f.endswith("licenses/LICENSE") for f in files)
