"""The PEP 517 build backend of durevarare: CMake builds the modules for the
interpreter that runs this file, and the standard library writes the wheel.
It needs nothing from a package index, so `pip install .`, `pip wheel .` and
`pip install -e .` (PEP 660) work offline on every CPython from 3.9 to 3.13.

The wheel holds the module, the stub package durevarare-stubs (PEP 561),
cppjieba's dictionaries and OpenCC's traditional-to-simplified ones with
their licences in durevarare-dict/ next to the module, and the packages
listed in PACKAGES (durevarare_search with its own native module). Its
platform tag is the manylinux tag (PEP 600) that the symbol versions of
every shared object in it allow. Wheels and sdists of the same files are the
same bytes (SOURCE_DATE_EPOCH sets their time stamps).

Needs CMake, a C++17 compiler, pybind11 (with its CMake config), readelf,
and the cppjieba and OpenCC files: DUREVARARE_CPPJIEBA_DIR and
DUREVARARE_OPENCC_DIR, or node_modules/ as the set-up installs it (fetched
with npm when missing and npm is at hand). CXX chooses the compiler,
CMAKE_ARGS adds CMake options.

Run as a script, `python build_backend/durevarare_build.py module` builds the
modules alone into build-py/cpXY/, where the wheel build finds them again.
"""
import base64
import configparser
import gzip
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
import time
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


def check_interpreter():
    """Refuses interpreters that a cpXY-cpXY tag cannot describe."""
    version = "%d.%d" % sys.version_info[:2]
    if sys.implementation.name != "cpython":
        sys.exit(f"durevarare: builds for CPython only, not {sys.implementation.name} {version}: "
                 "its wheel tags name CPython's ABI.")
    if sysconfig.get_config_var("Py_GIL_DISABLED"):
        sys.exit(f"durevarare: CPython {version} without the GIL (free-threaded) is not supported: "
                 "the modules rely on the interpreter lock.")
    if getattr(sys, "abiflags", ""):
        sys.exit(f"durevarare: CPython {version} with ABI flags '{sys.abiflags}' is not supported "
                 "(the wheel tag would promise the plain ABI).")
    if sys.version_info[:2] not in SUPPORTED:
        sys.exit(f"durevarare: CPython {version} is not supported (3.9 to 3.13 are).")


def fetched(variable, folder, what):
    """A dependency's files: the folder that `variable` names, or `folder` under
    node_modules/ as the set-up installs it (fetched with npm when missing)."""
    configured = os.environ.get(variable)
    if configured:
        return Path(configured).resolve()
    path = ROOT / "node_modules" / folder
    tried = ""
    if not path.is_dir() and shutil.which("npm"):
        # package-lock.json pins every package; npm's install scripts never run.
        npm = subprocess.run(["npm", "ci", "--ignore-scripts", "--no-audit", "--no-fund", "--loglevel=error"],
                             cwd=ROOT, stdout=sys.stderr, stderr=subprocess.PIPE, text=True)
        if npm.returncode != 0:
            tried = (f" `npm ci` could not fetch them (no network and nothing in npm's cache?): "
                     f"{npm.stderr.strip().splitlines()[-1] if npm.stderr.strip() else 'exit status ' + str(npm.returncode)}.")
    if not path.is_dir():
        sys.exit(f"durevarare: {what} are missing ({path}).{tried} Provide them: set {variable} to a folder "
                 f"holding them, or run scripts/setup.sh build where the npm registry or its cache is at hand.")
    return path


def cppjieba_dir():
    return fetched("DUREVARARE_CPPJIEBA_DIR", "nodejieba/submodules/cppjieba", "the cppjieba headers and dictionaries")


def opencc_dir():
    return fetched("DUREVARARE_OPENCC_DIR", "opencc", "OpenCC's dictionaries")


def build_module():
    """Builds the module (release, stripped) for this interpreter; returns its path."""
    check_interpreter()
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
# glibc floor to 2.36, since they were built against it. A version of
# libstdc++ (GLIBCXX, CXXABI) or libgcc_s (GCC) therefore needs the oldest
# manylinux baseline that ships it: the newest version of each family in
# each baseline, as the manylinux policies list them for x86_64.
BASELINES = (  # (glibc 2.M, {family: newest version})
    (17, {"GLIBCXX": (3, 4, 19), "CXXABI": (1, 3, 7), "GCC": (4, 8, 0)}),
    (24, {"GLIBCXX": (3, 4, 22), "CXXABI": (1, 3, 10), "GCC": (4, 8, 0)}),
    (28, {"GLIBCXX": (3, 4, 24), "CXXABI": (1, 3, 11), "GCC": (7, 0, 0)}),
    (31, {"GLIBCXX": (3, 4, 28), "CXXABI": (1, 3, 12), "GCC": (7, 0, 0)}),
    (34, {"GLIBCXX": (3, 4, 29), "CXXABI": (1, 3, 13), "GCC": (7, 0, 0)}),
    (35, {"GLIBCXX": (3, 4, 30), "CXXABI": (1, 3, 13), "GCC": (7, 0, 0)}),
    (36, {"GLIBCXX": (3, 4, 30), "CXXABI": (1, 3, 13), "GCC": (12, 0, 0)}),
)
# Versions that name features rather than releases (CXXABI_TM_1, CXXABI_FLOAT128), all in the oldest baseline.
FEATURE_VERSIONS = {"CXXABI_TM_1", "CXXABI_FLOAT128"}


def needed_versions(shared_object):
    """The newest version that a shared object needs of each family: {"GLIBC": (2, 34), "GLIBCXX": (3, 4, 29), ...}.
    A family outside GLIBC, GLIBCXX, CXXABI and GCC is refused: no manylinux baseline promises it."""
    listing = subprocess.run(["readelf", "--version-info", "--wide", str(shared_object)], check=True,
                             capture_output=True, text=True).stdout
    needed = {}
    for name in set(re.findall(r"Name: (\S+)\s+Flags", listing)):
        if name in FEATURE_VERSIONS:
            continue
        match = re.fullmatch(r"(GLIBC|GLIBCXX|CXXABI|GCC)_(\d+(?:\.\d+)*)", name)
        if match is None:
            sys.exit(f"durevarare: {shared_object.name} needs symbol version {name}, which no manylinux baseline has")
        version = tuple(int(part) for part in match.group(2).split("."))
        needed[match.group(1)] = max(needed.get(match.group(1), version), version)
    return needed


def glibc_floor(shared_object):
    """The oldest glibc 2.M whose baseline has every version the shared object needs."""
    needed = needed_versions(shared_object)
    floor = max(17, needed.get("GLIBC", (2, 0))[1])
    for family in ("GLIBCXX", "CXXABI", "GCC"):
        if family not in needed:
            continue
        glibc = next((glibc for glibc, newest in BASELINES if newest[family] >= needed[family]), None)
        if glibc is None:
            version = ".".join(map(str, needed[family]))
            sys.exit(f"durevarare: {shared_object.name} needs {family}_{version}, newer than any known baseline")
        floor = max(floor, glibc)
    return floor


def platform_tag(shared_objects):
    """The manylinux tag that every shared object of the wheel allows."""
    return f"manylinux_2_{max(glibc_floor(path) for path in shared_objects)}_{os.uname().machine}"


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


def package_files(packages):
    """(name in the wheel, bytes) for the source files of these packages."""
    for package in packages:
        for path in sorted((ROOT / package).rglob("*")):
            if path.is_file() and "__pycache__" not in path.parts and path.suffix not in (".pyc", ".pyo", ".so"):
                yield path.relative_to(ROOT).as_posix(), path.read_bytes()


def wheel_files(module):
    """(name in the wheel, bytes) for every file but the dist-info's."""
    yield module.name, module.read_bytes()
    native = native_search_module(module)
    yield f"durevarare_search/{native.name}", native.read_bytes()
    yield from package_files(PACKAGES)
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


def get_requires_for_build_editable(config_settings=None):
    return []


def source_date_epoch():
    """The time stamped on every archive member: SOURCE_DATE_EPOCH, or 1980-01-01 (zip's first day)."""
    return max(int(os.environ.get("SOURCE_DATE_EPOCH", "315532800")), 315532800)


def write_wheel(wheel_directory, tag, files):
    """Writes {name}-{version}-{tag}.whl of `files` ((name, bytes) pairs) and its dist-info, atomically."""
    meta = metadata()
    name = f"{meta['name']}-{meta['version']}"
    dist_info = f"{name}.dist-info"
    files = list(files)
    files.append((f"{dist_info}/METADATA", metadata_text(meta).encode()))
    files.append((f"{dist_info}/WHEEL", (f"Wheel-Version: 1.0\nGenerator: durevarare_build\n"
                                          f"Root-Is-Purelib: false\nTag: {tag}\n").encode()))
    files += [(f"{dist_info}/{licence}", (ROOT / licence).read_bytes()) for licence in LICENCES]
    record = "\n".join([record_line(n, d) for n, d in files] + [f"{dist_info}/RECORD,,"]) + "\n"
    files.append((f"{dist_info}/RECORD", record.encode()))

    wheel_name = f"{name}-{tag}.whl"
    target = Path(wheel_directory) / wheel_name
    partial = target.with_suffix(".partial")
    stamp = time.gmtime(source_date_epoch())[:6]
    with zipfile.ZipFile(partial, "w", zipfile.ZIP_DEFLATED) as wheel:
        for file_name, data in files:
            info = zipfile.ZipInfo(file_name, date_time=stamp)
            info.external_attr = (0o755 if file_name.endswith(".so") else 0o644) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            wheel.writestr(info, data)
    os.replace(partial, target)
    return wheel_name


def wheel_tag(module):
    return f"{python_tag()}-{python_tag()}-{platform_tag([module, native_search_module(module)])}"


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    module = build_module()
    return write_wheel(wheel_directory, wheel_tag(module), wheel_files(module))


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    """PEP 660: a wheel whose .pth puts this tree's build folder on sys.path. The
    package's Python files are links there to the tree's own, so edits to them
    show at once; a change to C++ or a new file needs the build again
    (`python build_backend/durevarare_build.py module`)."""
    module = build_module()
    pth = (str(module.parent) + "\n").encode()
    return write_wheel(wheel_directory, wheel_tag(module),
                       [(f"__editable__.{metadata()['name']}.pth", pth)] + list(package_files(["durevarare-stubs"])))


def source_files():
    """The sdist's files, relative to the tree: what git tracks, or, outside a
    checkout (an unpacked sdist), what its MANIFEST lists."""
    if (ROOT / ".git").exists() and shutil.which("git"):
        listed = subprocess.run(["git", "ls-files", "-z"], cwd=ROOT, check=True, capture_output=True).stdout
        names = [name for name in listed.decode().split("\0") if name]
    elif (ROOT / "MANIFEST").is_file():
        names = (ROOT / "MANIFEST").read_text(encoding="utf-8").splitlines()
    else:
        sys.exit("durevarare: an sdist is made from a git checkout (git ls-files) or an unpacked sdist (MANIFEST)")
    return sorted(name for name in set(names) if name != "MANIFEST" and (ROOT / name).is_file())


def build_sdist(sdist_directory, config_settings=None):
    """{name}-{version}.tar.gz of the tracked files, a MANIFEST and PKG-INFO,
    byte for byte the same from the same files: sorted, owned by root, stamped
    with source_date_epoch(), modes 0644 or 0755."""
    meta = metadata()
    name = f"{meta['name']}-{meta['version']}"
    target = Path(sdist_directory) / f"{name}.tar.gz"
    names = source_files()
    members = [(path, (ROOT / path).read_bytes(), os.access(ROOT / path, os.X_OK)) for path in names]
    members.append(("MANIFEST", ("\n".join(names) + "\n").encode(), False))
    members.append(("PKG-INFO", metadata_text(meta).encode(), False))
    partial = target.with_suffix(".partial")
    with open(partial, "wb") as raw, gzip.GzipFile(filename="", mode="wb", fileobj=raw,
                                                    mtime=source_date_epoch()) as zipped, \
            tarfile.open(fileobj=zipped, mode="w", format=tarfile.PAX_FORMAT) as sdist:
        for path, data, executable in sorted(members):
            info = tarfile.TarInfo(f"{name}/{path}")
            info.size, info.mtime, info.mode = len(data), source_date_epoch(), 0o755 if executable else 0o644
            info.uid = info.gid = 0
            info.uname = info.gname = "root"
            sdist.addfile(info, io.BytesIO(data))
    os.replace(partial, target)
    return target.name


if __name__ == "__main__":
    if sys.argv[1:] != ["module"]:
        sys.exit("usage: durevarare_build.py module")
    print(build_module())
