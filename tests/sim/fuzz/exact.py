"""An exact model of IEEE binary32/binary64 arithmetic and of the CUDA
conversion intrinsics, written over Python's rationals: the independent
oracle that the fuzzer's host models (host_model.h) are checked against."""
from __future__ import annotations

import math
import struct
from fractions import Fraction

MODES = ("rn", "rz", "rd", "ru")


class Fmt:
    def __init__(self, bits: int, prec: int, emin: int, emax: int):
        self.bits, self.prec, self.emin, self.emax = bits, prec, emin, emax
        self.exp_bits = bits - prec
        self.max = (2 - Fraction(1, 2 ** (prec - 1))) * Fraction(2) ** emax


F32 = Fmt(32, 24, -126, 127)
F64 = Fmt(64, 53, -1022, 1023)

NAN = "nan"  # a NaN of any payload: the fuzzer compares NaN as a class


def decode(fmt: Fmt, u: int):
    """Bits to ("nan") | (sign, "inf") | (sign, Fraction)."""
    sign = u >> (fmt.bits - 1)
    e = (u >> (fmt.prec - 1)) & ((1 << fmt.exp_bits) - 1)
    m = u & ((1 << (fmt.prec - 1)) - 1)
    if e == (1 << fmt.exp_bits) - 1:
        return NAN if m else (sign, "inf")
    if e == 0:
        v = Fraction(m) * Fraction(2) ** (fmt.emin - fmt.prec + 1)
    else:
        v = Fraction(m + (1 << (fmt.prec - 1))) * Fraction(2) ** (e - (1 << (fmt.exp_bits - 1)) + 1 - fmt.prec + 1)
    return (sign, v)


def encode_inf(fmt: Fmt, sign: int) -> int:
    return (sign << (fmt.bits - 1)) | (((1 << fmt.exp_bits) - 1) << (fmt.prec - 1))


def encode_max(fmt: Fmt, sign: int) -> int:
    return encode_inf(fmt, sign) - 1


def round_to(fmt: Fmt, sign: int, v: Fraction, mode: str) -> int:
    """Rounds the non-negative magnitude v (with sign) to fmt bits."""
    if v == 0:
        return sign << (fmt.bits - 1)
    e = v.numerator.bit_length() - v.denominator.bit_length()  # within one: fixed below
    while Fraction(2) ** e > v:
        e -= 1
    while Fraction(2) ** (e + 1) <= v:
        e += 1
    e = max(e, fmt.emin)
    quantum = Fraction(2) ** (e - fmt.prec + 1)
    q, rest = divmod(v, quantum)
    q = int(q)
    up = False
    if rest:
        if mode == "rn":
            half = quantum / 2
            up = rest > half or (rest == half and q % 2 == 1)
        elif mode == "ru":
            up = sign == 0
        elif mode == "rd":
            up = sign == 1
    q += up
    mag = q * quantum
    if mag > fmt.max:
        to_inf = mode == "rn" or (mode == "ru" and sign == 0) or (mode == "rd" and sign == 1)
        return encode_inf(fmt, sign) if to_inf else encode_max(fmt, sign)
    # encode mag exactly
    if mag < Fraction(2) ** fmt.emin:
        m = int(mag / Fraction(2) ** (fmt.emin - fmt.prec + 1))
        return (sign << (fmt.bits - 1)) | m
    e2 = e if Fraction(2) ** (e + 1) > mag else e + 1
    m = int(mag / Fraction(2) ** (e2 - fmt.prec + 1)) - (1 << (fmt.prec - 1))
    biased = e2 + (1 << (fmt.exp_bits - 1)) - 1
    return (sign << (fmt.bits - 1)) | (biased << (fmt.prec - 1)) | m


def signed(x):
    s, v = x
    return -v if s else v


def result(fmt, exact: Fraction, mode, zero_sign):
    if exact == 0:
        return zero_sign << (fmt.bits - 1)
    return round_to(fmt, 1 if exact < 0 else 0, abs(exact), mode)


def add(fmt, a, b, mode, negate_b=False):
    x, y = decode(fmt, a), decode(fmt, b)
    if x == NAN or y == NAN:
        return NAN
    if negate_b:
        y = (1 - y[0], y[1])
    if x[1] == "inf" or y[1] == "inf":
        if x[1] == "inf" and y[1] == "inf" and x[0] != y[0]:
            return NAN
        return encode_inf(fmt, x[0] if x[1] == "inf" else y[0])
    exact = signed(x) + signed(y)
    if exact == 0:
        zs = x[0] if (x[1] == 0 and y[1] == 0 and x[0] == y[0]) else (1 if mode == "rd" else 0)
        return zs << (fmt.bits - 1)
    return result(fmt, exact, mode, 0)


def mul(fmt, a, b, mode):
    x, y = decode(fmt, a), decode(fmt, b)
    if x == NAN or y == NAN:
        return NAN
    s = x[0] ^ y[0]
    if x[1] == "inf" or y[1] == "inf":
        if x[1] == 0 or y[1] == 0:
            return NAN
        return encode_inf(fmt, s)
    return result(fmt, signed(x) * signed(y), mode, s)


def div(fmt, a, b, mode):
    x, y = decode(fmt, a), decode(fmt, b)
    if x == NAN or y == NAN:
        return NAN
    s = x[0] ^ y[0]
    if x[1] == "inf":
        return NAN if y[1] == "inf" else encode_inf(fmt, s)
    if y[1] == "inf":
        return s << (fmt.bits - 1)
    if y[1] == 0:
        return NAN if x[1] == 0 else encode_inf(fmt, s)
    return result(fmt, signed(x) / signed(y), mode, s)


def fma(fmt, a, b, c, mode):
    x, y, z = decode(fmt, a), decode(fmt, b), decode(fmt, c)
    if NAN in (x, y, z):
        return NAN
    ps = x[0] ^ y[0]
    if x[1] == "inf" or y[1] == "inf":
        if x[1] == 0 or y[1] == 0:
            return NAN
        if z[1] == "inf" and z[0] != ps:
            return NAN
        return encode_inf(fmt, ps)
    if z[1] == "inf":
        return encode_inf(fmt, z[0])
    exact = signed(x) * signed(y) + signed(z)
    if exact == 0:
        pzero = x[1] == 0 or y[1] == 0
        zs = ps if (pzero and z[1] == 0 and ps == z[0]) else (1 if mode == "rd" else 0)
        return zs << (fmt.bits - 1)
    return result(fmt, exact, mode, 0)


def sqrt(fmt, a, mode):
    x = decode(fmt, a)
    if x == NAN:
        return NAN
    if x[1] == 0:
        return a
    if x[0] == 1:
        return NAN
    if x[1] == "inf":
        return a
    v = x[1]
    # floor(sqrt(v * 4^k)) at enough precision, with a sticky bit
    k = 2 * fmt.prec + 8 - (v.numerator.bit_length() - v.denominator.bit_length()) // 2
    scaled = v * Fraction(4) ** k
    n = scaled.numerator // scaled.denominator
    r = math.isqrt(n)
    exact_sq = r * r == n and scaled.denominator == 1
    approx = Fraction(r) / Fraction(2) ** k
    if not exact_sq:
        approx += Fraction(1, 2) / Fraction(2) ** k  # sticky: strictly between r and r + 1
    return round_to(fmt, 0, approx, mode)


def rcp(fmt, a, mode):
    one = 0x3F800000 if fmt is F32 else 0x3FF0000000000000
    return div(fmt, one, a, mode)


def to_int(fmt, a, mode, width, is_signed, nan_high):
    x = decode(fmt, a)
    if x == NAN:
        return (1 << (width - 1)) if nan_high else 0
    lo, hi = (-(1 << (width - 1)), (1 << (width - 1)) - 1) if is_signed else (0, (1 << width) - 1)
    if x[1] == "inf":
        v = lo if x[0] else hi
    else:
        q = signed(x)
        if mode == "rz":
            v = math.trunc(q)
        elif mode == "rd":
            v = math.floor(q)
        elif mode == "ru":
            v = math.ceil(q)
        else:
            v = round(q)  # Fraction rounds half to even
        v = min(max(v, lo), hi)
    return v & ((1 << width) - 1)


def from_int(fmt, v: int, mode):
    return result(fmt, Fraction(v), mode, 0)


def narrow(a, mode):
    x = decode(F64, a)
    if x == NAN:
        return NAN
    if x[1] == "inf":
        return encode_inf(F32, x[0])
    return result(F32, signed(x), mode, x[0])


def saturate(a):
    x = decode(F32, a)
    if x == NAN or x[0] == 1 or x[1] == 0:
        return 0
    if x[1] == "inf" or x[1] >= 1:
        return 0x3F800000
    return a


def f32_bits(f: float) -> int:
    return struct.unpack("<I", struct.pack("<f", f))[0]
