"""Running where users are: the NVRTC chosen by the driver's version, the
simulated device activated in-process, and `python -m tesvan info`.  The
loader decides once per process, so every case runs in a fresh interpreter."""

import ctypes.util
import importlib.util
import os
import subprocess
import sys
from pathlib import Path

import pytest

SMOKE = Path(__file__).resolve().parent.parent / "install" / "engine_smoke.py"


def run(code, *args, env_changes=None, site=False):
    """Runs Python code in a fresh interpreter; (exit code, stdout + stderr).
    Without `site`, NVIDIA's wheels in site-packages stay out of sight."""
    env = dict(os.environ)
    for name, value in (env_changes or {}).items():
        if value is None:
            env.pop(name, None)
        else:
            env[name] = value
    flags = [] if site else ["-S"]
    p = subprocess.run([sys.executable, *flags, "-c", code, *args], env=env,
                       capture_output=True, text=True, timeout=600)
    return p.returncode, p.stdout + p.stderr


def run_smoke(*args, prelude="", **kwargs):
    """Runs tests/install/engine_smoke.py with `args` after `prelude`."""
    code = prelude + f"\nimport runpy, sys\nsys.argv = [{str(SMOKE)!r}] + sys.argv[1:]\n" \
                     f"runpy.run_path({str(SMOKE)!r}, run_name='__main__')"
    return run(code, *args, **kwargs)


def test_a_driver_older_than_every_nvrtc_fails_naming_both_versions():
    code = """
import _tesvan
from tesvan import loader
try:
    _tesvan.Engine(0)
except RuntimeError as e:
    print("error:", e)
r = loader.report()["nvrtc"]
print("newest:", max((f["version"] for f in r["found"]), key=lambda v: tuple(map(int, v.split(".")))))
"""
    rc, out = run(code, env_changes={"TVNSIM_DRIVER_VERSION": "12080"})
    assert rc == 0, out
    newest = out.split("newest: ")[1].split()[0]
    assert f"no usable NVRTC: the driver supports CUDA 12.8; the newest NVRTC found is {newest}: " \
           "install a matching nvidia-cuda-nvrtc-cu12" in out
    assert "run `python -m tesvan info`" in out


def _wheel_nvrtc_newer_than_13_0():
    """NVIDIA's CUDA 13 NVRTC wheel (torch brings one), if newer than 13.0."""
    spec = importlib.util.find_spec("nvidia")
    for root in spec.submodule_search_locations if spec else []:
        lib = Path(root) / "cu13" / "lib" / "libnvrtc.so.13"
        for builtins in lib.parent.glob("libnvrtc-builtins.so.13.*"):
            if lib.is_file() and int(builtins.name.rsplit(".", 1)[1]) > 0:
                return lib
    return None


def test_a_newer_nvrtc_already_loaded_is_passed_over_for_one_the_driver_can_run():
    newer = _wheel_nvrtc_newer_than_13_0()
    if newer is None:
        pytest.skip("no NVRTC 13.x newer than 13.0 from NVIDIA's wheels here")
    rc, out = run_smoke(prelude=f"import ctypes, os\nctypes.CDLL({str(newer)!r}, mode=os.RTLD_GLOBAL)")
    assert rc == 0, out
    assert "ok: forward, backward_dx, backward_dw; NVRTC 13.0 " in out
    assert str(newer) not in out.split("NVRTC 13.0 ")[1]


def test_the_simulated_device_activates_in_process_without_a_library_path():
    if ctypes.util.find_library("cuda") is None:
        rc, out = run_smoke(env_changes={"LD_LIBRARY_PATH": None})
        assert rc != 0, "without activation there is no driver to find here"
        assert "cannot load libcuda.so.1" in out and "python -m tesvan info" in out
    rc, out = run_smoke("--sim", env_changes={"LD_LIBRARY_PATH": None})
    assert rc == 0, out
    assert out.startswith("ok: ")


def test_activation_refuses_when_a_real_driver_is_already_loaded():
    fake = os.environ.get("TESVAN_TEST_FAKE_DRIVER")
    if not fake or not Path(fake).is_file():
        pytest.skip("the stand-in driver was not built")
    code = f"""
import ctypes, os
ctypes.CDLL({fake!r}, mode=os.RTLD_GLOBAL)
from tesvan import sim
try:
    sim.activate()
except RuntimeError as e:
    print("refused:", e)
print("active:", sim.is_active())
"""
    rc, out = run(code, env_changes={"LD_LIBRARY_PATH": None})
    assert rc == 0, out
    assert "refused: tesvan: a CUDA driver is already loaded in this process" in out
    assert "active: False" in out


def test_info_reports_driver_nvrtc_headers_and_cache(tmp_path):
    rc, out = run("from tesvan.__main__ import main; raise SystemExit(main())", "info", "--sim",
                  env_changes={"LD_LIBRARY_PATH": None, "TESVAN_KERNEL_CACHE": str(tmp_path)})
    assert rc == 0, out
    lines = out.splitlines()
    assert lines[1].startswith("driver: simulated, CUDA 13.0 (")
    assert lines[2] == "  device 0: tvnsim simulated GPU (sm_80), compute capability 8.0"
    nvrtc = next(line for line in lines if line.startswith("NVRTC: "))
    assert "libnvrtc.so" in nvrtc and "(found as: " in nvrtc
    assert "code: PTX (the simulated device runs PTX)" in lines
    assert f"kernel cache: {tmp_path} (0 entries)" in lines


def test_info_without_a_driver_or_nvrtc_still_succeeds_and_says_so():
    rc, out = run("from tesvan.__main__ import main; raise SystemExit(main())", "info",
                  env_changes={"LD_LIBRARY_PATH": None, "TESVAN_NVRTC": "/nonexistent/libnvrtc.so.13"})
    assert rc == 0, out
    assert "driver: none found (CUDA error: cannot load libcuda.so.1: " in out
    assert "NVRTC: none usable (cannot load NVRTC (tried /nonexistent/libnvrtc.so.13: " in out
