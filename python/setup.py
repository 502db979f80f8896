"""Builds the extension tavik._tavik: CMake makes the library from the repository's sources as a
position-independent static archive (it knows the per-file instruction sets of the vector
kernels), and the extension links it in, so that the installed package needs nothing else.

The repository is the folder above this one, or the one TAVIK_SOURCE_DIR names."""
import os
import re
import subprocess
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = Path(__file__).resolve().parent
ROOT = Path(os.environ.get("TAVIK_SOURCE_DIR", HERE.parent)).resolve()


def library_version():
    header = ROOT / "include" / "tavik.h"
    if not (ROOT / "CMakeLists.txt").is_file() or not header.is_file():
        raise SystemExit(f"tavik: the library's sources are not at {ROOT} (set TAVIK_SOURCE_DIR to the repository)")
    parts = dict(re.findall(r"#define TAVIK_VERSION_(MAJOR|MINOR|PATCH) (\d+)", header.read_text()))
    return "{MAJOR}.{MINOR}.{PATCH}".format(**parts)


class BuildWithLibrary(build_ext):
    """Builds libtavik.a with CMake under the build folder, then the extension against it."""

    def run(self):
        cmake_dir = Path(self.build_temp).resolve() / "libtavik"
        configure = [
            os.environ.get("CMAKE", "cmake"), "-S", str(ROOT), "-B", str(cmake_dir),
            "-DCMAKE_BUILD_TYPE=Release", "-DBUILD_SHARED_LIBS=OFF", "-DTAVIK_PIC=ON",
            "-DTAVIK_LTO=OFF", "-DTAVIK_PROGRAMS=OFF", "-DTAVIK_TESTS=OFF", "-DTAVIK_INSTALL=OFF",
        ]
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
        subprocess.run(configure, check=True)
        subprocess.run([configure[0], "--build", str(cmake_dir), "--target", "tavik", "-j", jobs], check=True)
        # tavik._hybrid links libtavik-hybrid.a and libsodium: built where CMake found libsodium.
        hybrid = "SODIUM_LIBRARY:FILEPATH=" in (cmake_dir / "CMakeCache.txt").read_text() and \
            "SODIUM_LIBRARY:FILEPATH=SODIUM_LIBRARY-NOTFOUND" not in (cmake_dir / "CMakeCache.txt").read_text()
        if hybrid:
            subprocess.run([configure[0], "--build", str(cmake_dir), "--target", "tavik_hybrid", "-j", jobs], check=True)
        else:
            print("tavik: libsodium (libsodium-dev) not found: tavik.hybrid is not built")
            self.extensions = [e for e in self.extensions if e.name != "tavik._hybrid"]
        for ext in self.extensions:
            if ext.name == "tavik._hybrid":
                ext.extra_objects.append(str(cmake_dir / "libtavik-hybrid.a"))
                ext.depends.append(str(cmake_dir / "libtavik-hybrid.a"))
            ext.extra_objects.append(str(cmake_dir / "libtavik.a"))
            ext.depends.append(str(cmake_dir / "libtavik.a"))
        super().run()


setup(
    version=library_version(),
    ext_modules=[
        Extension(
            "tavik._tavik",
            sources=["ext/tavik_module.c", "ext/tavik_context.c"],
            include_dirs=[str(ROOT / "include")],
            depends=[str(ROOT / "include" / "tavik.h"), "ext/tavik_ext.h"],
            # The library is C++; its runtime comes from the system (libstdc++).
            libraries=["stdc++", "m"],
            # The two files share helpers that stay inside the module (hidden visibility).
            extra_compile_args=["-Wall", "-Wextra", "-fvisibility=hidden"],
            # Only the module's entry point is exported, not the library's calls.
            extra_link_args=["-Wl,--exclude-libs,ALL", "-Wl,-z,noexecstack"],
        ),
        Extension(
            "tavik._hybrid",
            sources=["ext/tavik_hybrid.c"],
            include_dirs=[str(ROOT / "include")],
            depends=[str(ROOT / "include" / "tavik.h"), str(ROOT / "include" / "tavik_hybrid.h")],
            libraries=["sodium", "stdc++", "m"],
            extra_compile_args=["-Wall", "-Wextra", "-fvisibility=hidden"],
            extra_link_args=["-Wl,--exclude-libs,ALL", "-Wl,-z,noexecstack"],
        ),
    ],
    cmdclass={"build_ext": BuildWithLibrary},
)
