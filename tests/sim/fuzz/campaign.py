#!/usr/bin/env python3
"""Differential fuzzing of the simulated device: random CUDA C++ programs
(programs.py) compiled by NVRTC and run on the device, against the same
programs compiled for the host with exact intrinsic models (host_model.h,
itself checked against exact.py first).  Every thread's variables are
compared bit for bit; NaN payloads are canonicalised, but NaN against a
number and +0 against -0 count as mismatches.  A mismatching program is
shrunk statement by statement to a smallest program that still mismatches.

  campaign.py [--seed S] [--programs N | --minutes M] [--batch B]
              [--archs compute_80,compute_90] [--out DIR] [--no-minimise] [--cxx CXX]

The device is whatever libcuda.so.1 the loader finds: the simulator (its
directory on LD_LIBRARY_PATH, as ctest and bench/run set it) or NVIDIA's
driver and a GPU (scripts/gpu-check), so the same programs compare either
with the exact host models.

Exit status 1 when a mismatch (or a device failure) was found."""
from __future__ import annotations

import argparse
import copy
import os
import struct
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
os.environ.setdefault("TVNSIM_CC", "9.0")  # a simulated device new enough for every target below

import check_oracle  # noqa: E402
import programs as P  # noqa: E402
from device import Device, DeviceError, compile_ptx  # noqa: E402

NV = len(P.VARS)
OUT_BYTES = P.THREADS * NV * 8
CXX = "g++"
HOST_FLAGS = ["-std=c++20", "-O1", "-frounding-math", "-ffp-contract=off", "-fno-strict-aliasing", "-w"]


@dataclass
class Tally:
    programs: int = 0
    thread_instructions: int = 0
    values: int = 0
    mismatches: list = field(default_factory=list)  # (arch, program, thread, var, host, device, what)


def classify(kind: str, host: int, dev: int) -> str | None:
    """None when equal under the comparison rules, else what differs."""
    if kind == "f":
        host, dev = host & 0xFFFFFFFF, dev & 0xFFFFFFFF
        nan = lambda u: (u >> 23) & 0xFF == 0xFF and u & 0x7FFFFF  # noqa: E731
        zero = 0x80000000
    elif kind == "d":
        nan = lambda u: (u >> 52) & 0x7FF == 0x7FF and u & ((1 << 52) - 1)  # noqa: E731
        zero = 1 << 63
    else:
        return None if host == dev else "value"
    if nan(host) and nan(dev):
        return None
    if bool(nan(host)) != bool(nan(dev)):
        return "NaN vs number"
    if host == dev:
        return None
    return "+0 vs -0" if {host, dev} == {0, zero} else "value"


def host_outputs(programs: list, work: Path) -> list[bytes]:
    src = work / "host.cpp"
    exe = work / "host"
    src.write_text(P.host_source(programs))
    subprocess.run([CXX, *HOST_FLAGS, f"-I{HERE}", "-o", str(exe), str(src)], check=True)
    data = b"".join(pack(p.inputs) for p in programs)
    out = subprocess.run([str(exe)], input=data, capture_output=True, check=True).stdout
    return [out[i * OUT_BYTES:(i + 1) * OUT_BYTES] for i in range(len(programs))]


def pack(rows: list) -> bytes:
    return b"".join(struct.pack("<Q", v) for row in rows for v in row)


def compare(arch: str, prog, host: bytes, dev: bytes, tally: Tally):
    h = struct.unpack(f"<{P.THREADS * NV}Q", host)
    d = struct.unpack(f"<{P.THREADS * NV}Q", dev)
    for t in range(P.THREADS):
        for i, v in enumerate(P.VARS):
            k = t * NV + i
            tally.values += 1
            what = classify(v[0], h[k], d[k])
            if what:
                tally.mismatches.append((arch, prog.name, t, v, h[k], d[k], what))


def run_batch(device: Device, programs: list, archs: list[str], work: Path, tally: Tally):
    host = host_outputs(programs, work)
    source = P.device_source(programs)
    for arch in archs:
        ptx = compile_ptx(source, arch)
        before = device.thread_instructions
        outs = device.run(ptx, [p.name for p in programs], [pack(p.inputs) for p in programs], OUT_BYTES)
        for p, h, d in zip(programs, host, outs):
            compare(arch, p, h, d, tally)
        tally.thread_instructions += device.thread_instructions - before
    tally.programs += len(programs)


def mismatches(device: Device, prog, arch: str, work: Path) -> bool:
    t = Tally()
    try:
        run_batch(device, [prog], [arch], work, t)
    except (DeviceError, subprocess.CalledProcessError):
        return False  # a shrink that breaks the program does not count
    return bool(t.mismatches)


def flatten(body: list, path=()) -> list:
    """Paths of every statement, innermost last, so removal goes outside in."""
    out = []
    for i, s in enumerate(body):
        out.append(path + (i,))
        if isinstance(s, P.If):
            out += flatten(s.then, path + (i, "then"))
            out += flatten(s.other, path + (i, "other"))
        elif isinstance(s, P.Loop):
            out += flatten(s.body, path + (i, "body"))
    return out


def without(body: list, path: tuple) -> list:
    body = copy.deepcopy(body)
    lst = body
    for j in range(0, len(path) - 1, 2):
        lst = getattr(lst[path[j]], path[j + 1])
    del lst[path[-1]]
    return body


def minimise(device: Device, prog, arch: str, work: Path):
    """Removes statements one at a time while the mismatch stays."""
    changed = True
    while changed:
        changed = False
        for path in reversed(flatten(prog.body)):
            trial = P.Program(prog.name, without(prog.body, path), prog.inputs)
            if mismatches(device, trial, arch, work):
                prog, changed = trial, True
                break
    return prog


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--programs", type=int, default=40)
    ap.add_argument("--minutes", type=float, default=0.0, help="run batches until this much time has passed")
    ap.add_argument("--batch", type=int, default=20)
    ap.add_argument("--archs", default="compute_80,compute_90")
    ap.add_argument("--oracle", type=int, default=60, help="random cases per intrinsic for the oracle check")
    ap.add_argument("--out", type=Path, help="folder for reproducers of mismatches")
    ap.add_argument("--no-minimise", action="store_true")
    ap.add_argument("--cxx", default=os.environ.get("CXX", "g++"), help="C++ compiler for the host build")
    args = ap.parse_args()
    global CXX
    CXX = args.cxx

    start = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="tvn-fuzz-") as tmp:
        work = Path(tmp)
        probe = work / "oracle_probe"
        subprocess.run([CXX, *HOST_FLAGS, f"-I{HERE}", "-o", str(probe), str(HERE / "oracle_probe.cpp")], check=True)
        if check_oracle.run(args.oracle, probe) != 0:
            print("host oracle disagrees with the exact model: no campaign")
            return 1

        device = Device()
        archs = [a for a in args.archs.split(",") if int(a.split("_")[1]) <= device.cc]
        kind = "simulated device" if device.simulated else "GPU"
        print(f"{kind}, compute capability {device.cc / 10:.1f}, targets {','.join(archs)}")
        tally = Tally()
        index = 0
        while True:
            if args.minutes:
                if time.monotonic() - start > args.minutes * 60:
                    break
            elif index >= args.programs:
                break
            n = args.batch if args.minutes else min(args.batch, args.programs - index)
            batch = [P.generate(args.seed, index + i) for i in range(n)]
            index += n
            try:
                run_batch(device, batch, archs, work, tally)
            except DeviceError as e:
                print(f"seed {args.seed} programs {index - n}..{index - 1}: device failure: {e}")
                tally.mismatches.append(("-", "batch", 0, "-", 0, 0, str(e)))
                break
            if tally.mismatches:
                break
        print(f"{tally.programs} programs, {len(archs)} targets, {tally.values} values compared, "
              f"{tally.thread_instructions} thread-instructions on the device, "
              f"{len(tally.mismatches)} mismatches, {time.monotonic() - start:.1f} s")
        if not tally.mismatches:
            return 0
        for m in tally.mismatches[:10]:
            arch, name, t, v, h, d, what = m
            print(f"  {arch} {name} thread {t} {v}: host {h:#x} device {d:#x} ({what})")
        arch, name = tally.mismatches[0][0], tally.mismatches[0][1]
        if name != "batch":
            prog = P.generate(args.seed, int(name[2:]))
            if not args.no_minimise:
                prog = minimise(device, prog, arch, work)
            print("smallest mismatching program:\n" + P.device_kernel(prog))
            if args.out:
                args.out.mkdir(parents=True, exist_ok=True)
                (args.out / f"{name}.cu").write_text(P.device_source([prog]))
                (args.out / f"{name}_host.cpp").write_text(P.host_source([prog]))
                (args.out / f"{name}.in").write_bytes(pack(prog.inputs))
        return 1


if __name__ == "__main__":
    sys.exit(main())
