"""Installs the Python package into a fresh virtual environment under the build folder, offline,
as a user would (pip install --no-build-isolation), and runs its pytest suite there.

    python3 run_suite.py SOURCE_DIR WORK_DIR

Run with the interpreter the package is for (Debian's /usr/bin/python3). The environment sees
the system's packages (setuptools, wheel, pytest) and nothing from any index. Exits 77 (skipped)
when the Debian packages the build needs are missing, except in CI (CI=true), which installs them."""
import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

SKIP = 77
DEBIAN_PACKAGES = "python3-dev python3-venv python3-setuptools python3-wheel python3-pytest"


def missing_prerequisites():
    missing = []
    if not (Path(sysconfig.get_paths()["include"]) / "Python.h").is_file():
        missing.append("Python.h (python3-dev)")
    for module, package in (("ensurepip", "python3-venv"), ("venv", "python3-venv"),
                            ("setuptools", "python3-setuptools"), ("wheel", "python3-wheel"),
                            ("pytest", "python3-pytest")):
        try:
            __import__(module)
        except ImportError:
            missing.append(f"{module} ({package})")
    return missing


def main():
    source, work = Path(sys.argv[1]).resolve(), Path(sys.argv[2]).resolve()
    missing = missing_prerequisites()
    if missing:
        print(f"SKIPPED: {sys.executable} lacks {', '.join(missing)}; install {DEBIAN_PACKAGES}")
        # CI installs them (.ci/run): there a missing one is a failure, not a skip.
        return 1 if os.environ.get("CI") == "true" else SKIP

    # A copy of python/ keeps the build's files out of the source tree; the copy's setup.py finds
    # the library's sources through TAVIK_SOURCE_DIR. Unchanged files keep their times, so
    # CMake and setuptools rebuild only what changed.
    package = work / "package"
    shutil.copytree(source / "python", package, dirs_exist_ok=True,
                    ignore=shutil.ignore_patterns("build", "*.egg-info", "__pycache__"))
    venv = work / "venv"
    python = venv / "bin" / "python"
    if not python.exists():
        subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(venv)], check=True)

    # Nothing from this machine's pip settings: no index, no extra wheel folders.
    env = {k: v for k, v in os.environ.items() if not k.startswith("PIP_")}
    env.update(PIP_CONFIG_FILE=os.devnull, PIP_DISABLE_PIP_VERSION_CHECK="1", PIP_NO_INPUT="1",
               PYTHONDONTWRITEBYTECODE="1", TAVIK_SOURCE_DIR=str(source))
    env.setdefault("CMAKE_BUILD_PARALLEL_LEVEL", "2")
    subprocess.run([str(python), "-m", "pip", "install", "--no-build-isolation", "--no-index", "--no-deps",
                    "--force-reinstall", "--no-cache-dir", str(package)], check=True, env=env, cwd=work)

    # The suite runs from the build folder, so `import tavik` finds the installed package.
    return subprocess.run([str(python), "-m", "pytest", "-q", "-p", "no:cacheprovider",
                           str(source / "tests" / "python")], env=env, cwd=work).returncode


if __name__ == "__main__":
    sys.exit(main())
