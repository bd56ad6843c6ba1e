"""The build backend of pyproject.toml: setuptools' own, asking for CMake
and pybind11 only where the machine lacks them, so that an offline build
(pip --no-build-isolation, python3 -m build --no-isolation) is satisfied by
the system's packages and an isolated build fetches what is missing."""

import glob
import os
import shutil

from setuptools import build_meta as _setuptools
from setuptools.build_meta import *  # noqa: F401,F403  the other hooks as setuptools has them

# pybind11 2.12 is the first that knows NumPy 2's dtype records.
_PYBIND11_FOR_NUMPY_2 = (2, 12)


def _version(text):
    return tuple(int(part) for part in text.split(".")[:2] if part.isdigit())


def _python_pybind11():
    try:
        import pybind11
    except ImportError:
        return None
    return _version(pybind11.__version__)


def _system_pybind11():
    """pybind11's CMake package where CMake looks for it (pybind11-dev)."""
    for prefix in ("/usr", "/usr/local"):
        if glob.glob(os.path.join(prefix, "lib", "cmake", "pybind11", "pybind11Config.cmake")) or \
                glob.glob(os.path.join(prefix, "share", "cmake", "pybind11", "pybind11Config.cmake")) or \
                glob.glob(os.path.join(prefix, "lib", "*", "cmake", "pybind11", "pybind11Config.cmake")):
            return True
    return False


def _native_requirements():
    needed = []
    if shutil.which("cmake") is None:
        needed.append("cmake>=3.18")
    try:
        import numpy
        numpy_2 = _version(numpy.__version__) >= (2,)
    except ImportError:
        numpy_2 = False
    from_python = _python_pybind11()
    if numpy_2:
        if from_python is None or from_python < _PYBIND11_FOR_NUMPY_2:
            needed.append("pybind11>=2.12")
    elif from_python is None and not _system_pybind11():
        needed.append("pybind11>=2.10")
    return needed


def get_requires_for_build_wheel(config_settings=None):
    return _setuptools.get_requires_for_build_wheel(config_settings) + _native_requirements()


def get_requires_for_build_sdist(config_settings=None):
    return _setuptools.get_requires_for_build_sdist(config_settings)
