"""``python -m tesvan info``: what the engine would run on, and why."""

from __future__ import annotations

import argparse
import sys
from pathlib import Path
from typing import Any


def _version(number: int) -> str:
    return f"{number // 1000}.{number % 1000 // 10}"


def _driver_lines(driver: dict[str, Any]) -> list[str]:
    if "path" not in driver:
        return [f"driver: none found ({driver['error']})"]
    kind = "simulated" if driver["simulated"] else "NVIDIA"
    lines = [f"driver: {kind}, CUDA {_version(driver['version'])} ({driver['path']})"]
    if driver["error"]:
        lines.append(f"  {driver['error']}")
    for i, dev in enumerate(driver["devices"]):
        major, minor = dev["compute_capability"]
        lines.append(f"  device {i}: {dev['name']}, compute capability {major}.{minor}")
    if not driver["devices"] and not driver["error"]:
        lines.append("  no devices")
    return lines


def _nvrtc_lines(nvrtc: dict[str, Any], driver: dict[str, Any]) -> list[str]:
    found = nvrtc["found"]
    chosen = nvrtc["chosen"]
    if chosen is None:
        lines = [f"NVRTC: none usable ({nvrtc['error']})"]
    else:
        c = found[chosen]
        lines = [f"NVRTC: {c['version']} at {c['path']} (found as: {c['why']})"]
    for i, f in enumerate(found):
        if i != chosen:
            lines.append(f"  also found: {f['version']} at {f['path']} ({f['why']})")
    if chosen is None:
        return lines
    if nvrtc["form"] == "cubin":
        lines.append(
            f"code: cubin only (NVRTC {found[chosen]['version']} is newer than the driver's "
            f"CUDA {_version(driver['version'])}, whose JIT would refuse its PTX)"
        )
    elif "path" not in driver:
        lines.append("code: PTX and cubin; which one loads depends on the driver")
    elif driver["simulated"]:
        lines.append("code: PTX (the simulated device runs PTX)")
    else:
        lines.append("code: cubin first (cached beside the PTX), the PTX for the driver's JIT "
                     "when it refuses the cubin")
    return lines


def _cache_lines(cache_dir: str | None) -> list[str]:
    if cache_dir is None:
        return ["kernel cache: off (TESVAN_KERNEL_CACHE)"]
    folder = Path(cache_dir)
    entries = sorted(folder.glob("tesvan-*")) if folder.is_dir() else []
    lines = [f"kernel cache: {folder} ({len(entries)} entries)"]
    lines += [f"  {e.name}  {e.stat().st_size} bytes" for e in entries]
    return lines


def info(simulated: bool) -> int:
    if simulated:
        from tesvan import sim

        sim.activate()
    import tesvan
    from tesvan import loader

    report = loader.report()
    driver = report["driver"]
    lines = [f"tesvan {tesvan.__version__}"]
    lines += _driver_lines(driver)
    lines += _nvrtc_lines(report["nvrtc"], driver)
    lines.append("include folders:" if report["include_dirs"] else "include folders: none (NVRTC's own)")
    lines += [f"  {d}" for d in report["include_dirs"]]
    if report["package_roots"]:
        lines.append("NVIDIA wheels searched in: " + ", ".join(report["package_roots"]))
    lines += _cache_lines(report["cache_dir"])
    print("\n".join(lines))
    return 0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m tesvan")
    commands = parser.add_subparsers(dest="command", required=True)
    info_cmd = commands.add_parser("info", help="driver, devices, NVRTC, headers and kernel cache")
    info_cmd.add_argument("--sim", action="store_true", help="activate the simulated device first")
    args = parser.parse_args(argv)
    return info(args.sim)


if __name__ == "__main__":
    sys.exit(main())
