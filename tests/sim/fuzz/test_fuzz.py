"""The fuzzer's own parts: the comparison rules, the exact model against
Python's binary64 arithmetic, and the minimiser's statement removal."""
import math
import random
import struct

import campaign as C
import exact as X
import programs as P


def bits64(x: float) -> int:
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def test_comparison_canonicalises_nan_payloads_but_not_nan_or_zero_signs():
    assert C.classify("f", 0x7FC00000, 0xFFC12345) is None
    assert C.classify("d", 0x7FF8000000000000, 0x7FF0000000000001) is None
    assert C.classify("f", 0x7FC00000, 0x3F800000) == "NaN vs number"
    assert C.classify("f", 0x80000000, 0) == "+0 vs -0"
    assert C.classify("d", 1 << 63, 0) == "+0 vs -0"
    assert C.classify("f", 0x3F800000, 0x3F800001) == "value"
    assert C.classify("u", 0x7FC00000, 0xFFC00000) == "value"  # integers are compared whole


def test_exact_model_matches_python_floats_in_round_to_nearest():
    rng = random.Random(3)
    for _ in range(3000):
        a, b = (struct.unpack("<d", struct.pack("<Q", rng.getrandbits(64)))[0] for _ in range(2))
        if math.isnan(a) or math.isnan(b):
            continue
        for got, want in ((X.add(X.F64, bits64(a), bits64(b), "rn"), a + b),
                          (X.mul(X.F64, bits64(a), bits64(b), "rn"), a * b),
                          (X.div(X.F64, bits64(a), bits64(b), "rn"), a / b if b else math.nan),
                          (X.sqrt(X.F64, bits64(abs(a)), "rn"), math.sqrt(abs(a)))):
            if math.isnan(want) or (b == 0 and got != X.NAN):
                continue
            assert got == bits64(want), (a, b)


def test_directed_rounding_brackets_the_exact_value():
    one, tiny = bits64(1.0), bits64(2.0 ** -60)
    assert X.add(X.F64, one, tiny, "rn") == one
    assert X.add(X.F64, one, tiny, "ru") == one + 1
    assert X.add(X.F64, one, tiny | 1 << 63, "rz") == bits64(1.0 - 2.0 ** -53)
    assert X.to_int(X.F64, bits64(math.nan), "rn", 32, True, True) == 0x80000000
    assert X.to_int(X.F32, 0x7FC00000, "rz", 32, False, False) == 0


def test_minimiser_removes_nested_statements_by_path():
    body = [P.Assign("u0", "1u"), P.If("c", [P.Assign("u1", "2u"), P.Assign("u2", "3u")], []),
            P.Loop("n", [P.Assign("s0", "4")])]
    paths = C.flatten(body)
    assert (1, "then", 1) in paths and (2, "body", 0) in paths and len(paths) == 6
    smaller = C.without(body, (1, "then", 0))
    assert [s.var for s in smaller[1].then] == ["u2"]
    assert len(body[1].then) == 2  # the original stays whole


def test_generation_is_deterministic_and_renders_both_sides():
    a, b = P.generate(7, 3), P.generate(7, 3)
    assert P.device_kernel(a) == P.device_kernel(b) and a.inputs == b.inputs
    assert P.generate(7, 4).inputs != a.inputs
    host = P.host_source([a])
    assert "fz3::run" in host and "__global__ void fz3" in P.device_source([a])
