"""Shared setup of the Python tests: the package from this checkout and the
C++ build it is compared with (build/ unless ZORV_BUILD_DIR says where)."""

import os
import pathlib
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "python"))


@pytest.fixture(scope="session")
def build_dir():
    path = pathlib.Path(os.environ.get("ZORV_BUILD_DIR", ROOT / "build"))
    if not (path / "mpi" / "zorv_mpi").exists():
        pytest.fail(f"{path} holds no build of zorv (run ./scripts/build.sh first)")
    return path
