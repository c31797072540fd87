import subprocess
import sys

import _tesvan
import tesvan


def test_package_exports_the_extension_class():
    assert tesvan.Engine is _tesvan.Engine


def test_import_does_not_pull_in_torch():
    code = "import sys, tesvan; sys.exit('torch' in sys.modules)"
    assert subprocess.run([sys.executable, "-c", code]).returncode == 0
