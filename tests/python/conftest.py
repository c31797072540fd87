import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "examples"))

import _tesvan  # noqa: E402
from cuda_driver import Driver, prefer_toolkit_nvrtc  # noqa: E402

prefer_toolkit_nvrtc()  # before any test module imports torch


@pytest.fixture(scope="session")
def driver():
    d = Driver()
    if os.environ.get("TESVAN_TEST_EXPECT_SIM") and not d.simulated:
        pytest.exit("the simulated device was expected (TESVAN_TEST_EXPECT_SIM) but "
                    "libcuda.so.1 is not the simulator", returncode=1)
    yield d
    d.release()


@pytest.fixture(scope="session")
def engine(driver):
    return _tesvan.Engine(0)


@pytest.fixture
def sim(driver):
    """The simulated device's controls; launches are recorded, not run."""
    if not driver.simulated:
        pytest.skip("needs the simulated device")
    old = driver.sim_config(execute=0)
    driver.clear_launches()
    driver.clear_injections()
    yield driver
    driver.clear_injections()
    driver.sim_config(**old)


@pytest.fixture
def executing(driver):
    """Kernels run (a GPU, or the simulated device with execution on)."""
    if driver.simulated:
        old = driver.sim_config(execute=1)
        yield driver
        driver.sim_config(**old)
    else:
        yield driver
