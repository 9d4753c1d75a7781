"""The C extension of the ravmolt package. By default it carries the decoder in itself, compiled
from the engine's C++ sources: those of the source tree around this folder, or of vendor/ in an
sdist, which copies them there. With RAVMOLT_USE_SYSTEM_LIBRARY=1 it links the system's libravmolt
instead, with the flags `pkg-config ravmolt` gives (set PKG_CONFIG_PATH for a private prefix), or
-lravmolt where pkg-config does not know it."""

import os
import pathlib
import re
import shlex
import shutil
import subprocess
import sys

from concurrent.futures import ThreadPoolExecutor

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext
from setuptools.command.sdist import sdist

HERE = pathlib.Path(__file__).resolve().parent
PLATFORM_SUFFIX = "_win32" if sys.platform == "win32" else "_posix"
OTHER_SUFFIX = "_posix" if sys.platform == "win32" else "_win32"
EXTENSION_SOURCES = ["src/ravmolt/_ravmolt.c", "src/ravmolt/_decompressor.c"]
DEPENDS = ["src/ravmolt/_ravmolt.h"]


def engine_root():
    """The folder holding engine/ and include/: vendor/ in an sdist, else the source tree."""
    for root in (HERE / "vendor", HERE.parent):
        if (root / "engine" / "CMakeLists.txt").is_file() and (root / "include").is_dir():
            return root
    return None


def engine_sources(root):
    """The sources of the shipped library, as engine/CMakeLists.txt and its folders list them for
    the target ravmolt_engine (the test-only ravmolt_reference is another target), less the
    other system's file of each _posix/_win32 pair."""
    names = []
    for listing in sorted((root / "engine").glob("**/CMakeLists.txt")):
        text = re.sub(r"#[^\n]*", "", listing.read_text())
        for call in re.finditer(r"(?:add_library|target_sources)\(\s*ravmolt_engine\s+([^)]*)\)",
                                text):
            for word in call.group(1).split():
                if word.endswith(".cpp") and not word[:-4].endswith(OTHER_SUFFIX):
                    names.append(str(listing.parent / word))
    if not names:
        raise SystemExit(f"no engine sources listed under {root / 'engine'}")
    return names


def project_version(root):
    """The project's version, from the top-level CMakeLists.txt or, in an sdist, the version
    header written when the sdist was made."""
    cmake = root / "CMakeLists.txt"
    if cmake.is_file():
        match = re.search(r"project\(ravmolt\s+VERSION\s+(\d+)\.(\d+)\.(\d+)", cmake.read_text())
        if match:
            return match.groups()
    header = root / "include" / "ravmolt" / "ravmolt_version.h"
    return header_version(header.read_text()).split(".")


def header_version(text):
    match = re.search(r'#define RAVMOLT_VERSION_STRING "([^"]+)"', text)
    return match.group(1) if match else None


def write_version_header(root, folder):
    """Writes ravmolt/ravmolt_version.h under `folder` from include/ravmolt/ravmolt_version.h.in,
    as the library's build does; returns the version."""
    major, minor, patch = project_version(root)
    values = {"PROJECT_VERSION_MAJOR": major, "PROJECT_VERSION_MINOR": minor,
              "PROJECT_VERSION_PATCH": patch, "PROJECT_VERSION": f"{major}.{minor}.{patch}"}
    template = (root / "include" / "ravmolt" / "ravmolt_version.h.in").read_text()
    target = pathlib.Path(folder) / "ravmolt" / "ravmolt_version.h"
    target.parent.mkdir(parents=True, exist_ok=True)
    text = re.sub(r"@(\w+)@", lambda m: values[m.group(1)], template)
    if not target.is_file() or target.read_text() != text:
        target.write_text(text)
    return values["PROJECT_VERSION"]


def pkg_config(option):
    try:
        output = subprocess.run(["pkg-config", option, "ravmolt"], check=True,
                                capture_output=True, text=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return None
    return shlex.split(output)


def system_library():
    """The extension linked with the installed libravmolt, and the version of its headers."""
    cflags = pkg_config("--cflags") or []
    libs = pkg_config("--libs") or ["-lravmolt"]
    folders = [flag[2:] for flag in cflags if flag.startswith("-I")] + ["/usr/local/include",
                                                                       "/usr/include"]
    for folder in folders:
        try:
            version = header_version((pathlib.Path(folder) / "ravmolt" /
                                      "ravmolt_version.h").read_text())
        except OSError:
            continue
        if version:
            extension = Extension("ravmolt._ravmolt", sources=EXTENSION_SOURCES, depends=DEPENDS,
                                  extra_compile_args=cflags + ["-Wall", "-Wextra"],
                                  extra_link_args=libs)
            return extension, None, version
    raise SystemExit("RAVMOLT_USE_SYSTEM_LIBRARY: ravmolt/ravmolt_version.h not found; install "
                     "libravmolt-dev, or set PKG_CONFIG_PATH to a prefix where it is installed")


def bundled_library():
    """The extension with the engine compiled into it, and the engine's sources and flags for
    BuildWithEngine: C++20, symbols hidden but the C functions', as the library's own build
    makes them."""
    root = engine_root()
    if root is None:
        raise SystemExit("the engine's sources are missing: build from the ravmolt source tree "
                         "or an sdist, or set RAVMOLT_USE_SYSTEM_LIBRARY=1")
    generated = HERE / "build" / "generated-include"
    if root == HERE / "vendor":
        generated = root / "include"  # written when the sdist was made
        version = header_version((generated / "ravmolt" / "ravmolt_version.h").read_text())
    else:
        version = write_version_header(root, generated)
    include = [str(root / "include"), str(generated), str(root)]
    defines = [("RAVMOLT_BUILDING", None)] if sys.platform == "win32" else []
    engine = {
        "sources": engine_sources(root),
        "include_dirs": include,
        "macros": defines,
        "cflags": ["-std=c++20", "-O3", "-g0", "-fvisibility=hidden",
                   "-fvisibility-inlines-hidden", "-Wall", "-Wextra"],
    }
    extension = Extension("ravmolt._ravmolt", sources=EXTENSION_SOURCES, depends=DEPENDS,
                          include_dirs=include, define_macros=defines, language="c++",
                          extra_compile_args=["-Wall", "-Wextra"], extra_link_args=["-pthread"])
    return extension, engine, version


class BuildWithEngine(build_ext):
    """Compiles the engine's C++ sources, one compiler per processor, and links their objects
    into the extension. They are not setup() sources, which setuptools would want inside this
    folder and compile as C."""

    engine = None

    def build_extension(self, ext):
        if self.engine is not None:
            ext.extra_objects = self.compile_engine()
        super().build_extension(ext)

    def compile_engine(self):
        engine = self.engine
        output = os.path.join(self.build_temp, "engine")

        def compile_one(source):
            return self.compiler.compile([source], output_dir=output, macros=engine["macros"],
                                         include_dirs=engine["include_dirs"],
                                         extra_postargs=engine["cflags"])[0]

        for source in engine["sources"]:  # the folders first, which the threads would race for
            self.mkpath(os.path.dirname(self.compiler.object_filenames([source], 0, output)[0]))
        with ThreadPoolExecutor(max_workers=os.cpu_count() or 1) as pool:
            return list(pool.map(compile_one, engine["sources"]))


class VendoringSdist(sdist):
    """An sdist that holds the engine's sources and public headers under vendor/, with the
    version header written, so that it builds where the source tree is not."""

    def make_release_tree(self, base_dir, files):
        super().make_release_tree(base_dir, files)
        root = engine_root()
        if root is None or root == HERE / "vendor":
            return  # an sdist made from an sdist: vendor/ is among its files already
        vendor = pathlib.Path(base_dir) / "vendor"
        keep = shutil.ignore_patterns("*.in", "*.map", "*_test*", "*.md")
        for folder in ("engine", "include"):
            shutil.rmtree(vendor / folder, ignore_errors=True)
            shutil.copytree(root / folder, vendor / folder, ignore=keep)
        write_version_header(root, vendor / "include")


if os.environ.get("RAVMOLT_USE_SYSTEM_LIBRARY", "") not in ("", "0"):
    ext, BuildWithEngine.engine, package_version = system_library()
else:
    ext, BuildWithEngine.engine, package_version = bundled_library()

setup(
    version=package_version,
    ext_modules=[ext],
    cmdclass={"build_ext": BuildWithEngine, "sdist": VendoringSdist},
)
# The Python package ravmolt, built offline, carrying the engine:
#   pip install --no-build-isolation --no-index ./python
# or against the installed libravmolt (Debian's libravmolt-dev, or a prefix pkg-config finds):
#   RAVMOLT_USE_SYSTEM_LIBRARY=1 pip install --no-build-isolation --no-index ./python
