"""The Python examples of the READMEs run as written, against the library under test."""

from __future__ import annotations

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import qzftdi


PACKAGE_ROOT = Path(__file__).resolve().parent.parent
READMES = [PACKAGE_ROOT / "README.md", PACKAGE_ROOT.parent / "README.md"]


def _examples() -> list[tuple[str, str]]:
    found = []
    for readme in READMES:
        if readme.is_file():
            blocks = re.findall(r"```python\n(.*?)```", readme.read_text(), re.S)
            found += [(f"{readme.parent.name}/{readme.name}#{i}", b) for i, b in enumerate(blocks)]
    return found


def _printed_comments(code: str) -> list[str]:
    """The values the example promises in `print(...)  # value` comments (a list, a number)."""
    value = r"(\[.*\]|0x[0-9a-fA-F]+|-?\d+)"
    return [m.group(1) for m in re.finditer(r"^\s*print\(.*\)\s+#\s*" + value + r"\s*$", code, re.M)]


@pytest.mark.parametrize("name, code", _examples(), ids=[n for n, _ in _examples()])
def test_ReadmeExampleRunsAsWritten(name: str, code: str, tmp_path: Path) -> None:
    script = tmp_path / "example.py"
    script.write_text(code)
    env = dict(os.environ, PYTHONPATH=str(PACKAGE_ROOT),
               QZ_FTDI_LIBRARY=os.path.abspath(qzftdi.library().path))
    run = subprocess.run([sys.executable, str(script)], cwd=tmp_path, env=env,
                         capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    printed = run.stdout
    for promised in _printed_comments(code):
        assert promised in printed, f"{name}: {promised!r} not in output:\n{printed}"


def test_ReadmeHasAnExample() -> None:
    assert _examples()
