"""Builds the compiled module fazorn._fazorn with CMake for pip (see
pyproject.toml). FAZORN_CMAKE_BUILD_DIR names an existing CMake build to
take the module from (configured for the same interpreter), so a test or a
developer need not compile everything twice; without it a build of the
module alone is made in a temporary folder (Release, Ninja when installed).
"""

import os
import pathlib
import shutil
import subprocess
import sys
import tempfile

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = pathlib.Path(__file__).resolve().parent


class CMakeExtension(Extension):
    def __init__(self, name):
        super().__init__(name, sources=[])


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        target = pathlib.Path(self.get_ext_fullpath(ext.name)).resolve()
        given = os.environ.get("FAZORN_CMAKE_BUILD_DIR")
        build = pathlib.Path(given) if given else pathlib.Path(tempfile.mkdtemp(prefix="fazorn-build-"))
        if not (build / "CMakeCache.txt").exists():
            generator = ["-G", "Ninja"] if shutil.which("ninja") else []
            subprocess.check_call(
                ["cmake", "-S", str(ROOT), "-B", str(build), *generator,
                 "-DCMAKE_BUILD_TYPE=Release", "-DFAZORN_BUILD_GUI=OFF", "-DFAZORN_BUILD_TESTS=OFF",
                 "-DFAZORN_BUILD_BENCH=OFF", f"-DPython_EXECUTABLE={sys.executable}"]
            )
        jobs = str(os.cpu_count() or 1)
        subprocess.check_call(["cmake", "--build", str(build), "-j", jobs, "--target", "_fazorn"])
        built = list((build / "python" / "fazorn").glob("_fazorn*.so"))
        if len(built) != 1:
            raise RuntimeError(f"the CMake build in {build} holds no single _fazorn module: {built}")
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built[0], target)


setup(ext_modules=[CMakeExtension("fazorn._fazorn")], cmdclass={"build_ext": CMakeBuild})
