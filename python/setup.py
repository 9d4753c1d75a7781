"""The C extension of the ravmolt package, linked with libravmolt. The compiler and linker flags
come from `pkg-config ravmolt` where it knows the library (set PKG_CONFIG_PATH for a private
prefix); otherwise the system's own folders are searched for it."""

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

setup(
    ext_modules=[
        Extension(
            "ravmolt._ravmolt",
            sources=["src/ravmolt/_ravmolt.c"],
            extra_compile_args=cflags + ["-Wall", "-Wextra"],
            extra_link_args=libs,
        )
    ]
)
