"""The PEP 517 build backend of durevarare: CMake builds the module for the
interpreter that runs this file, and the standard library writes the wheel.
It needs nothing from a package index, so `pip install .` and `pip wheel .`
work offline on every CPython from 3.9 to 3.13.

The wheel holds the module, the stub package durevarare-stubs (PEP 561),
cppjieba's dictionaries and OpenCC's traditional-to-simplified ones with
their licences in durevarare-dict/ next to the module, and the packages
listed in PACKAGES (durevarare_search with its own native module). Its platform tag is
the manylinux tag (PEP 600) that the module's glibc symbol versions allow.

Needs CMake, a C++17 compiler, pybind11 (with its CMake config), readelf and
the cppjieba files: DUREVARARE_CPPJIEBA_DIR, or node_modules/ as the set-up
installs it (fetched with npm when missing and npm is at hand). CXX chooses
the compiler, CMAKE_ARGS adds CMake options.

Run as a script, `python build_backend/durevarare_build.py module` builds the
module alone into build-py/cpXY/, where the wheel build finds it again.
"""
import base64
import configparser
import hashlib
import io
import os
import re
import shlex
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
DICTIONARIES = ("jieba.dict.utf8", "hmm_model.utf8", "user.dict.utf8", "idf.utf8", "stop_words.utf8")
OPENCC_DICTIONARIES = ("TSPhrases.txt", "TSCharacters.txt")
PACKAGES = ("durevarare-stubs", "durevarare_search")
LICENCES = ("LICENSE", "THIRD-PARTY-NOTICES")
SUPPORTED = ((3, 9), (3, 10), (3, 11), (3, 12), (3, 13))


def metadata():
    """The [metadata] of setup.cfg, the project's one home for name, version and the rest."""
    config = configparser.ConfigParser()
    config.read(ROOT / "setup.cfg", encoding="utf-8")
    return config["metadata"]


def python_tag():
    return f"cp{sys.version_info.major}{sys.version_info.minor}"


def build_dir():
    return ROOT / "build-py" / python_tag()


def fetched(variable, folder, what):
    """A dependency's files: the folder that `variable` names, or `folder` under
    node_modules/ as the set-up installs it (fetched with npm when missing)."""
    configured = os.environ.get(variable)
    if configured:
        return Path(configured).resolve()
    path = ROOT / "node_modules" / folder
    if not path.is_dir() and shutil.which("npm"):
        subprocess.run(["npm", "ci", "--ignore-scripts", "--no-audit", "--no-fund", "--loglevel=error"],
                       cwd=ROOT, check=True)
    if not path.is_dir():
        sys.exit(f"durevarare: {what} are missing ({path}). Run scripts/setup.sh build, or install npm, "
                 f"or set {variable}.")
    return path


def cppjieba_dir():
    return fetched("DUREVARARE_CPPJIEBA_DIR", "nodejieba/submodules/cppjieba", "the cppjieba headers and dictionaries")


def opencc_dir():
    return fetched("DUREVARARE_OPENCC_DIR", "opencc", "OpenCC's dictionaries")


def build_module():
    """Builds the module (release, stripped) for this interpreter; returns its path."""
    if sys.version_info[:2] not in SUPPORTED:
        sys.exit(f"durevarare: CPython {sys.version_info.major}.{sys.version_info.minor} is not supported "
                 "(3.9 to 3.13 are).")
    cmake = shutil.which("cmake")
    if cmake is None:
        sys.exit("durevarare: CMake is needed to build the module (Debian: apt-get install cmake).")
    build = build_dir()
    configure = [
        cmake, "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
        f"-DPython_EXECUTABLE={sys.executable}", f"-DDUREVARARE_CPPJIEBA_DIR={cppjieba_dir()}",
        f"-DDUREVARARE_OPENCC_DIR={opencc_dir()}",
        "-DDUREVARARE_TESTS=OFF", "-DDUREVARARE_SANITIZED_TESTS=OFF", "-DDUREVARARE_BENCH=OFF",
        "-DDUREVARARE_FUZZ=OFF",
    ] + shlex.split(os.environ.get("CMAKE_ARGS", ""))
    if os.environ.get("CXX"):
        configure.append(f"-DCMAKE_CXX_COMPILER={os.environ['CXX']}")
    # CMake's own chatter goes to standard error, which pip shows only on failure.
    subprocess.run(configure, check=True, stdout=sys.stderr)
    subprocess.run([cmake, "--build", str(build), "--target", "durevarare", "search_native", "-j",
                    str(os.cpu_count() or 1)], check=True, stdout=sys.stderr)
    return build / ("durevarare" + sysconfig.get_config_var("EXT_SUFFIX"))


def native_search_module(module):
    """durevarare_search's native module, built beside `module`."""
    return module.parent / "durevarare_search" / ("_native" + sysconfig.get_config_var("EXT_SUFFIX"))


# The C++ runtime stays a shared library (every manylinux system has one):
# linking this toolchain's libstdc++ and libgcc statically would raise the
# glibc floor to 2.36, since they were built against it. A libstdc++ symbol
# version therefore needs the oldest manylinux baseline whose reference
# distribution ships it: GLIBCXX_3.4.N -> glibc 2.M.
GLIBCXX_BASELINES = ((19, 17), (22, 24), (25, 28), (28, 31), (29, 34), (30, 35), (33, 39))


def needed_versions(module):
    """The newest version the module needs of each of GLIBC_2.N and GLIBCXX_3.4.N: {"GLIBC": N, ...}."""
    listing = subprocess.run(["readelf", "--version-info", "--wide", str(module)], check=True,
                             capture_output=True, text=True).stdout
    needed = {}
    for family, pattern in (("GLIBC", r"Name: GLIBC_2\.(\d+)"), ("GLIBCXX", r"Name: GLIBCXX_3\.4\.(\d+)")):
        needed[family] = max((int(minor) for minor in re.findall(pattern, listing)), default=0)
    return needed


def glibc_floor(module):
    """The oldest glibc 2.M on which the module and the libstdc++ it needs are found."""
    needed = needed_versions(module)
    cxx = next((glibc for glibcxx, glibc in GLIBCXX_BASELINES if glibcxx >= needed["GLIBCXX"]), None)
    if cxx is None:
        sys.exit(f"durevarare: the module needs GLIBCXX_3.4.{needed['GLIBCXX']}, newer than any known baseline")
    return max(needed["GLIBC"], cxx, 17)


def platform_tag(module):
    return f"manylinux_2_{glibc_floor(module)}_{os.uname().machine}"


def record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def metadata_text(meta):
    lines = [
        "Metadata-Version: 2.1",
        f"Name: {meta['name']}",
        f"Version: {meta['version']}",
        f"Summary: {meta['description']}",
        f"License: {meta['license']}",
        f"Keywords: {meta['keywords']}",
    ]
    lines += [f"Classifier: {c}" for c in meta["classifiers"].split("\n") if c.strip()]
    lines += [
        f"Requires-Python: {meta['python_requires']}",
        "Description-Content-Type: text/markdown",
    ]
    lines += [f"License-File: {name}" for name in LICENCES]
    return "\n".join(lines) + "\n\n" + (ROOT / "README.md").read_text(encoding="utf-8")


def wheel_files(module):
    """(name in the wheel, bytes) for every file but the dist-info's."""
    yield module.name, module.read_bytes()
    native = native_search_module(module)
    yield f"durevarare_search/{native.name}", native.read_bytes()
    for package in PACKAGES:
        for path in sorted((ROOT / package).rglob("*")):
            if path.is_file() and "__pycache__" not in path.parts and path.suffix not in (".pyc", ".pyo", ".so"):
                yield path.relative_to(ROOT).as_posix(), path.read_bytes()
    jieba = cppjieba_dir()
    for name in DICTIONARIES:
        yield f"durevarare-dict/{name}", (jieba / "dict" / name).read_bytes()
    yield "durevarare-dict/LICENSE", (jieba / "LICENSE").read_bytes()
    opencc = opencc_dir()
    for name in OPENCC_DICTIONARIES:
        yield f"durevarare-dict/opencc/{name}", (opencc / "data" / "dictionary" / name).read_bytes()
    yield "durevarare-dict/opencc/LICENSE", (opencc / "LICENSE").read_bytes()


# --- PEP 517 hooks --------------------------------------------------------------------------------

def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    meta = metadata()
    module = build_module()
    tag = f"{python_tag()}-{python_tag()}-{platform_tag(module)}"
    name = f"{meta['name']}-{meta['version']}"
    dist_info = f"{name}.dist-info"
    files = list(wheel_files(module))
    files.append((f"{dist_info}/METADATA", metadata_text(meta).encode()))
    files.append((f"{dist_info}/WHEEL", (f"Wheel-Version: 1.0\nGenerator: durevarare_build\n"
                                          f"Root-Is-Purelib: false\nTag: {tag}\n").encode()))
    files += [(f"{dist_info}/{licence}", (ROOT / licence).read_bytes()) for licence in LICENCES]
    record = "\n".join([record_line(n, d) for n, d in files] + [f"{dist_info}/RECORD,,"]) + "\n"
    files.append((f"{dist_info}/RECORD", record.encode()))

    wheel_name = f"{name}-{tag}.whl"
    target = Path(wheel_directory) / wheel_name
    partial = target.with_suffix(".partial")
    with zipfile.ZipFile(partial, "w", zipfile.ZIP_DEFLATED) as wheel:
        for file_name, data in files:
            info = zipfile.ZipInfo(file_name, date_time=(2020, 1, 1, 0, 0, 0))
            info.external_attr = (0o755 if file_name.endswith(".so") else 0o644) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            wheel.writestr(info, data)
    os.replace(partial, target)
    return wheel_name


# Everything git would hand over: the build's inputs, without build output.
SDIST_EXCLUDED = {".git", "node_modules", "build", "build-py", "build-wheel", "dist", "wheelhouse", "__pycache__"}


def build_sdist(sdist_directory, config_settings=None):
    meta = metadata()
    name = f"{meta['name']}-{meta['version']}"
    target = Path(sdist_directory) / f"{name}.tar.gz"

    def keep(info):
        parts = Path(info.name).parts[1:]
        return None if any(part in SDIST_EXCLUDED or part.startswith("build-") for part in parts) else info

    with tarfile.open(target, "w:gz") as sdist:
        sdist.add(ROOT, arcname=name, filter=keep)
        data = metadata_text(meta).encode()
        info = tarfile.TarInfo(f"{name}/PKG-INFO")
        info.size = len(data)
        sdist.addfile(info, io.BytesIO(data))
    return target.name


if __name__ == "__main__":
    if sys.argv[1:] != ["module"]:
        sys.exit("usage: durevarare_build.py module")
    print(build_module())
