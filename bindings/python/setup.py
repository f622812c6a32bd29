"""Builds the module's native part against the timetree that pkg-config
finds (PKG_CONFIG_PATH for a prefix of one's own), with a run path to its
library when that is not in the system's folders."""
import os
import re
import subprocess

from setuptools import Extension, setup


def pkg_config(*options):
    try:
        out = subprocess.run(["pkg-config", *options, "timetree"], check=True,
                             capture_output=True, text=True).stdout
    except (OSError, subprocess.CalledProcessError) as error:
        raise SystemExit("timetree: pkg-config does not find timetree.pc (%s); install "
                         "timetree first, or set PKG_CONFIG_PATH to its pkgconfig folder" % error)
    return out.split()


# The project's version, as the source tree's CMakeLists.txt gives it.
here = os.path.dirname(os.path.abspath(__file__))
with open(os.path.join(here, "..", "..", "CMakeLists.txt")) as cmake:
    version = re.search(r"project\(timetree VERSION ([0-9.]+)", cmake.read()).group(1)
flags = pkg_config("--cflags")
libdir = pkg_config("--variable=libdir")[0]
system = libdir in ("/usr/lib", "/lib") or libdir.startswith(("/usr/lib/", "/lib/"))
setup(version=version, ext_modules=[Extension(
    "timetree._timetree", ["timetree_python.cpp"],
    include_dirs=[f[2:] for f in flags if f.startswith("-I")],
    library_dirs=[libdir], libraries=["timetree"],
    runtime_library_dirs=[] if system else [libdir],
    extra_compile_args=["-std=c++17", "-fvisibility=hidden"])])
