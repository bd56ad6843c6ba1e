"""Builds tqfslide's native parts with CMake for pip and python3 -m build
(pyproject.toml holds the package's description).

The CMake build (TQF_WHEEL_LAYOUT, no tests) is installed straight into the
wheel's tree: the Python files, the extension modules, and the private
libraries and tqf-convert under tqfslide/_libs. The version is the one in
CMakeLists.txt, the project's only one.

Environment:
  TQF_WHEEL_BUILD_DIR  the folder of the build (CMake's in cmake/, setuptools'
                       beside it), kept between builds so that the next one
                       builds only what changed (default: build-python/)
  CMAKE_BUILD_PARALLEL_LEVEL  jobs (default: the number of processors)
  TQF_CMAKE_ARGS       more arguments for CMake's configure step
"""

import os
import re
import shlex
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = os.path.dirname(os.path.abspath(__file__))
# Not build/, the CMake build folder of the README.
BUILD_BASE = os.path.abspath(os.environ.get("TQF_WHEEL_BUILD_DIR") or os.path.join(ROOT, "build-python"))

# What the wheel holds; the rest of the project (tests, benchmarks, tools)
# is not built.
TARGETS = ("yelk", "tqfslide", "tqfreader", "tqfslide_python", "tqf-convert", "openslide_so0", "openslide_so1")


def project_version():
    with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8") as file:
        found = re.search(r"^project\(\s*tqfReader\s+VERSION\s+([0-9]+(?:\.[0-9]+)*)", file.read(), re.MULTILINE)
    if found is None:
        raise RuntimeError("CMakeLists.txt: no project(tqfReader VERSION ...) line")
    return found.group(1)


def pybind11_arguments():
    """pybind11's CMake package from the build environment's pybind11 where
    it has one (an isolated build, a venv); else CMake finds the system's."""
    try:
        import pybind11
    except ImportError:
        return []
    return [f"-Dpybind11_DIR={pybind11.get_cmake_dir()}"]


class CMakeBuild(Extension):
    """Every native part of the package, made by one CMake build."""

    def __init__(self):
        super().__init__("_tqfReader", sources=[])


class BuildWithCMake(build_ext):
    def run(self):
        if self.inplace:
            raise RuntimeError("tqfslide cannot be installed in editable mode: build it with CMake and put the "
                               "build folder on PYTHONPATH (see README)")
        build_dir = os.path.join(BUILD_BASE, "cmake")
        install_dir = os.path.abspath(self.build_lib)
        configure = ["cmake", "-S", ROOT, "-B", build_dir,
                     "-DCMAKE_BUILD_TYPE=Release",
                     f"-DPython3_EXECUTABLE={sys.executable}",
                     f"-DPython_EXECUTABLE={sys.executable}",
                     "-DTQF_BUILD_TESTS=OFF",
                     "-DTQF_WHEEL_LAYOUT=ON",
                     *pybind11_arguments(),
                     *shlex.split(os.environ.get("TQF_CMAKE_ARGS", ""))]
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
        self.announce("configuring with CMake: " + shlex.join(configure), level=2)
        subprocess.check_call(configure)
        subprocess.check_call(["cmake", "--build", build_dir, "-j", jobs, "--target", *TARGETS])
        # Only what this build installs: files a kept build folder installed
        # before (a module since removed) must not reach the wheel.
        shutil.rmtree(install_dir, ignore_errors=True)
        subprocess.check_call(["cmake", "--install", build_dir, "--prefix", install_dir, "--strip"])

    def get_outputs(self):
        return []


os.makedirs(BUILD_BASE, exist_ok=True)
setup(
    version=project_version(),
    ext_modules=[CMakeBuild()],
    cmdclass={"build_ext": BuildWithCMake},
    packages=[],
    zip_safe=False,
    options={"build": {"build_base": BUILD_BASE}, "egg_info": {"egg_base": BUILD_BASE}},
)
