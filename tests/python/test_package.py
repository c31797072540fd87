import subprocess
import sys

import _tesvan
import tesvan


def test_package_exports_the_extension_class():
    assert tesvan.Engine is _tesvan.Engine


def test_extension_is_built_for_the_stable_abi():
    # One module for every Python from 3.11 on; a per-version build would be
    # named _tesvan.cpython-3XY-....so.
    assert _tesvan.__file__.endswith("_tesvan.abi3.so")


def test_import_does_not_pull_in_torch():
    code = "import sys, tesvan; sys.exit('torch' in sys.modules)"
    assert subprocess.run([sys.executable, "-c", code]).returncode == 0


def test_get_engine_keeps_one_engine_per_device_and_mode(driver):
    default, invariant = tesvan.get_engine(0), tesvan.get_engine(0, batch_invariant=True)
    assert default is tesvan.get_engine(0, batch_invariant=False) is not invariant
    assert invariant is tesvan.get_engine(device=0, batch_invariant=1)
    assert (default.batch_invariant, invariant.batch_invariant) == (False, True)
