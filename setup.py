"""Builds the wheel: the CMake project's module target alone (release build,
stripped), the stub package, and cppjieba's dictionaries with their licence
in durevarare-dict/ next to the module. Metadata lives in setup.cfg.

Needs CMake, a C++17 compiler, pybind11 (with its CMake config) and the
cppjieba files: DUREVARARE_CPPJIEBA_DIR, or node_modules/ as the set-up
installs it (fetched here with npm when it is missing and npm is at hand).
CXX chooses the compiler, CMAKE_ARGS adds CMake options.
"""
import os
import shlex
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent
DICTIONARIES = ("jieba.dict.utf8", "hmm_model.utf8", "user.dict.utf8", "idf.utf8", "stop_words.utf8")


def cppjieba_dir():
    configured = os.environ.get("DUREVARARE_CPPJIEBA_DIR")
    if configured:
        return Path(configured).resolve()
    folder = ROOT / "node_modules" / "nodejieba" / "submodules" / "cppjieba"
    if not folder.is_dir() and shutil.which("npm"):
        subprocess.run(["npm", "ci", "--ignore-scripts", "--no-audit", "--no-fund", "--loglevel=error"],
                       cwd=ROOT, check=True)
    if not folder.is_dir():
        sys.exit(f"durevarare: the cppjieba headers and dictionaries are missing ({folder}). "
                 "Run scripts/setup.sh build, or install npm, or set DUREVARARE_CPPJIEBA_DIR.")
    return folder


class CMakeExtension(Extension):
    def __init__(self, name):
        super().__init__(name, sources=[])


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        cmake = shutil.which("cmake")
        if cmake is None:
            sys.exit("durevarare: CMake is needed to build the module (Debian: apt-get install cmake).")
        jieba = cppjieba_dir()
        build = Path(self.build_temp).resolve() / "cmake"
        configure = [
            cmake, "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
            f"-DPython_EXECUTABLE={sys.executable}", f"-DDUREVARARE_CPPJIEBA_DIR={jieba}",
            "-DDUREVARARE_TESTS=OFF", "-DDUREVARARE_SANITIZED_TESTS=OFF", "-DDUREVARARE_BENCH=OFF",
            "-DDUREVARARE_FUZZ=OFF",
        ] + shlex.split(os.environ.get("CMAKE_ARGS", ""))
        subprocess.run(configure, check=True)
        subprocess.run([cmake, "--build", str(build), "--target", "durevarare", "-j", str(os.cpu_count() or 1)],
                       check=True)
        built = next(build.glob("durevarare*.so"))
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, target)
        shutil.copymode(built, target)

        # The dictionaries, beside the module in site-packages.
        dictionaries = Path(self.build_lib) / "durevarare-dict"
        dictionaries.mkdir(parents=True, exist_ok=True)
        for name in DICTIONARIES:
            shutil.copyfile(jieba / "dict" / name, dictionaries / name)
        shutil.copyfile(jieba / "LICENSE", dictionaries / "LICENSE")


# The stub-only package (PEP 561) is listed here: setup.cfg would read its
# name with an underscore in package_data.
setup(
    ext_modules=[CMakeExtension("durevarare")],
    cmdclass={"build_ext": CMakeBuild},
    packages=["durevarare-stubs"],
    package_data={"durevarare-stubs": ["__init__.pyi"]},
)
