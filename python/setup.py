"""The C extension of the ravmolt package, linked with libravmolt. The compiler and linker flags
come from `pkg-config ravmolt` where it knows the library (set PKG_CONFIG_PATH for a private
prefix); otherwise the system's own folders are searched for it."""

import os
import re
import shlex
import subprocess

from setuptools import Extension, setup


def pkg_config(option):
    try:
        output = subprocess.run(["pkg-config", option, "ravmolt"], check=True,
                                capture_output=True, text=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return None
    return shlex.split(output)


cflags = pkg_config("--cflags") or []
libs = pkg_config("--libs") or ["-lravmolt"]


def library_version():
    """The package's version: the version of the headers it is built against, which the library's
    build writes from the project's version."""
    folders = [flag[2:] for flag in cflags if flag.startswith("-I")] + ["/usr/local/include",
                                                                       "/usr/include"]
    for folder in folders:
        try:
            with open(os.path.join(folder, "ravmolt", "ravmolt_version.h")) as header:
                match = re.search(r'#define RAVMOLT_VERSION_STRING "([^"]+)"', header.read())
        except OSError:
            continue
        if match:
            return match.group(1)
    raise SystemExit("ravmolt/ravmolt_version.h not found: install libravmolt-dev, or set "
                     "PKG_CONFIG_PATH to a prefix where libravmolt is installed")


setup(
    version=library_version(),
    ext_modules=[
        Extension(
            "ravmolt._ravmolt",
            sources=["src/ravmolt/_ravmolt.c"],
            extra_compile_args=cflags + ["-Wall", "-Wextra"],
            extra_link_args=libs,
        )
    ]
)
