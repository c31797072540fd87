"""Checks the fuzzer's host intrinsic models (host_model.h) against the exact
rational model (exact.py) on special and random operands, bit for bit (NaN
as a class).  The fuzzer trusts the host build only because this passes."""
from __future__ import annotations

import random
import subprocess
import sys
from pathlib import Path

import exact as X

HERE = Path(__file__).resolve().parent


def specials(fmt: X.Fmt) -> list[int]:
    top = fmt.bits - 1
    out = []
    for s in (0, 1):
        sb = s << top
        out += [sb, sb | 1, sb | ((1 << (fmt.prec - 1)) - 1), sb | (1 << (fmt.prec - 1)),
                sb | X.encode_max(fmt, 0), sb | X.encode_inf(fmt, 0), sb | X.encode_inf(fmt, 0) | 1,
                sb | ((1 << (fmt.exp_bits - 1)) - 1) << (fmt.prec - 1)]  # +-1
    return out


def operand(rng: random.Random, fmt: X.Fmt) -> int:
    r = rng.random()
    if r < 0.25:
        return rng.choice(specials(fmt))
    if r < 0.5:  # near one: ties and cancellation
        one = ((1 << (fmt.exp_bits - 1)) - 1) << (fmt.prec - 1)
        return (rng.getrandbits(1) << (fmt.bits - 1)) | (one + rng.randrange(-64, 64)) & ((1 << (fmt.bits - 1)) - 1)
    if r < 0.6:  # small integers (exact conversions, ties at .5)
        v = rng.randrange(-40, 40) / 2
        return X.f32_bits(v) if fmt is X.F32 else __import__("struct").unpack("<Q", __import__("struct").pack("<d", v))[0]
    return rng.getrandbits(fmt.bits)


def cases(rng: random.Random, n: int):
    for _ in range(n):
        for m in X.MODES:
            for fmt, p, suffix in ((X.F32, "f", "f"), (X.F64, "d", "")):
                a, b, c = (operand(rng, fmt) for _ in range(3))
                yield f"__{p}add_{m}", (a, b, 0), X.add(fmt, a, b, m)
                yield f"__{p}sub_{m}", (a, b, 0), X.add(fmt, a, b, m, negate_b=True)
                yield f"__{p}mul_{m}", (a, b, 0), X.mul(fmt, a, b, m)
                yield f"__{p}div_{m}", (a, b, 0), X.div(fmt, a, b, m)
                yield f"__{p}rcp_{m}", (a, 0, 0), X.rcp(fmt, a, m)
                yield f"__{p}sqrt_{m}", (a, 0, 0), X.sqrt(fmt, a, m)
                yield f"__fma{suffix}_{m}", (a, b, c), X.fma(fmt, a, b, c, m)
            f, d = operand(rng, X.F32), operand(rng, X.F64)
            for width, name in ((32, "int"), (32, "uint"), (64, "ll"), (64, "ull")):
                sgn = not name.startswith("u")
                yield f"__float2{name}_{m}", (f, 0, 0), X.to_int(X.F32, f, m, width, sgn, width == 64)
                yield f"__double2{name}_{m}", (d, 0, 0), X.to_int(X.F64, d, m, width, sgn, True)
            i32, i64 = rng.getrandbits(32), rng.getrandbits(64)
            if rng.random() < 0.5:
                i64 >>= rng.randrange(64)
            s32 = i32 - (1 << 32) if i32 >> 31 else i32
            s64 = i64 - (1 << 64) if i64 >> 63 else i64
            yield f"__int2float_{m}", (i32, 0, 0), X.from_int(X.F32, s32, m)
            yield f"__uint2float_{m}", (i32, 0, 0), X.from_int(X.F32, i32, m)
            yield f"__ll2float_{m}", (i64, 0, 0), X.from_int(X.F32, s64, m)
            yield f"__ull2float_{m}", (i64, 0, 0), X.from_int(X.F32, i64, m)
            yield f"__ll2double_{m}", (i64, 0, 0), X.from_int(X.F64, s64, m)
            yield f"__ull2double_{m}", (i64, 0, 0), X.from_int(X.F64, i64, m)
            yield f"__double2float_{m}", (d, 0, 0), X.narrow(d, m)
        f = operand(rng, X.F32)
        yield "__saturatef", (f, 0, 0), X.saturate(f)


def is_nan(bits: int, name: str) -> bool:
    wide = name.startswith(("__d", "__fma_", "__ll2double", "__ull2double")) and "2float" not in name \
        and "2int" not in name and "2uint" not in name and "2ll" not in name and "2ull" not in name
    if wide:
        return (bits >> 52) & 0x7FF == 0x7FF and bits & ((1 << 52) - 1) != 0
    return (bits >> 23) & 0xFF == 0xFF and bits & ((1 << 23) - 1) != 0


def run(n: int, probe: Path) -> int:
    rng = random.Random(1)
    todo = list(cases(rng, n))
    text = "".join(f"{name} {a:x} {b:x} {c:x}\n" for name, (a, b, c), _ in todo)
    out = subprocess.run([str(probe)], input=text, capture_output=True, text=True, check=True).stdout.split()
    bad = 0
    for (name, args, want), got_text in zip(todo, out, strict=True):
        got = int(got_text, 16)
        ok = is_nan(got, name) if want == X.NAN else got == want
        if not ok:
            bad += 1
            if bad <= 20:
                print(f"{name}({', '.join(hex(a) for a in args)}): host {got:#x}, exact "
                      f"{want if want == X.NAN else hex(want)}")
    print(f"{len(todo)} intrinsic evaluations, {bad} disagreements")
    return 1 if bad else 0


def main() -> int:
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 300
    return run(n, Path(sys.argv[2]) if len(sys.argv) > 2 else HERE / "oracle_probe")


if __name__ == "__main__":
    sys.exit(main())
