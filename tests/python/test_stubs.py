"""The extension's type stubs agree with the built module."""

import os
import subprocess
import sys

STUBS = os.path.join(os.path.dirname(__file__), "..", "..", "python")


def test_stubs_match_the_extension():
    env = {**os.environ, "MYPYPATH": STUBS}
    run = subprocess.run([sys.executable, "-m", "mypy.stubtest", "_tesvan"], env=env,
                         capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr
    assert os.path.exists(os.path.join(STUBS, "tesvan", "py.typed"))
