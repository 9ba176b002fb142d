"""Where the library is found, and the package installs offline."""

from __future__ import annotations

import importlib.util
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import qzftdi

PACKAGE_ROOT = Path(__file__).resolve().parent.parent


def _run(code: str, env: dict[str, str], cwd: Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-c", code], cwd=cwd, env=env, capture_output=True,
                          text=True, timeout=120)


def _clean_env(**extra: str) -> dict[str, str]:
    env = {k: v for k, v in os.environ.items() if k not in ("QZ_FTDI_LIBRARY", "PYTHONPATH")}
    env.update(extra)
    return env


def test_MissingLibraryInEnvironmentIsReported(tmp_path: Path) -> None:
    run = _run("import qzftdi; qzftdi.list_devices()",
               _clean_env(QZ_FTDI_LIBRARY=str(tmp_path / "nothing.so"), PYTHONPATH=str(PACKAGE_ROOT)),
               tmp_path)
    assert run.returncode != 0
    assert "LibraryNotFound" in run.stderr and "nothing.so" in run.stderr


def test_PackagedCopyIsFoundNextToThePackage(tmp_path: Path) -> None:
    copy = tmp_path / "qzftdi"
    shutil.copytree(PACKAGE_ROOT / "qzftdi", copy)
    library = Path(qzftdi.library().path)
    packaged = copy / qzftdi._lib._file_names()[0]
    shutil.copy(library, packaged)
    run = _run("import qzftdi; from qzftdi import sim; sim.add_device('PKG1');"
               "print(qzftdi.library().path); print(qzftdi.list_devices())",
               _clean_env(PYTHONPATH=str(tmp_path)), tmp_path)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == [str(packaged), "['PKG1']"]


def test_PipInstallsOfflineWithoutBuildIsolation(tmp_path: Path) -> None:
    for module in ("pip", "setuptools"):
        assert importlib.util.find_spec(module) is not None, f"no {module} (scripts/install-deps.sh)"
    source = tmp_path / "src"
    shutil.copytree(PACKAGE_ROOT, source, ignore=shutil.ignore_patterns("__pycache__", "build",
                                                                           "*.egg-info"))
    target = tmp_path / "site"
    install = subprocess.run([sys.executable, "-m", "pip", "install", "--quiet", "--no-index",
                              "--no-build-isolation", "--no-cache-dir", "--target", str(target),
                              str(source)], capture_output=True, text=True, timeout=300)
    assert install.returncode == 0, install.stderr
    run = _run("import qzftdi, pathlib; print(pathlib.Path(qzftdi.__file__).parent.parent)",
               _clean_env(PYTHONPATH=str(target), QZ_FTDI_LIBRARY=qzftdi.library().path), tmp_path)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == str(target)
    assert (target / "qzftdi" / "py.typed").is_file()


def test_ImportAndHelpWorkWithoutTheLibrary(tmp_path: Path) -> None:
    run = _run("import pydoc, qzftdi; from qzftdi import sim; pydoc.render_doc(qzftdi);"
               "pydoc.render_doc(sim); print('helped'); qzftdi.list_devices()",
               _clean_env(QZ_FTDI_LIBRARY=str(tmp_path / "nothing.so"), PYTHONPATH=str(PACKAGE_ROOT)),
               tmp_path)
    assert run.stdout == "helped\n", run.stderr
    assert "LibraryNotFound" in run.stderr and "nothing.so" in run.stderr


def test_SkippedTestFailsTheRun(tmp_path: Path) -> None:
    shutil.copy(Path(__file__).parent / "conftest.py", tmp_path)
    (tmp_path / "test_skip.py").write_text("import pytest\n\ndef test_x():\n    pytest.skip('x')\n")
    run = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", str(tmp_path)],
                         cwd=tmp_path, capture_output=True, text=True, timeout=120,
                         env=_clean_env(PYTHONPATH=str(PACKAGE_ROOT),
                                        QZ_FTDI_LIBRARY=os.path.abspath(qzftdi.library().path)))
    assert run.returncode == 1 and "1 skipped" in run.stdout, run.stdout
