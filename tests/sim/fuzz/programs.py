"""Random CUDA C++ device programs for the differential fuzzer, and their two
renderings: the device kernel (compiled by NVRTC) and the host function
(compiled by g++ against host_model.h) that computes the same thing.

A program is one block of kNumThreads threads.  Each thread loads its
variables from `in`, runs a list of statements and stores every variable to
`out`.  Statements are assignments, divergent if/else, loops with a
thread-dependent trip count and a thread-local array; at the top level only,
block-wide exchanges through shared memory, shuffles and votes.  The host
rendering runs the top-level statements thread by thread between those
collective points, which then take the values of every thread at once."""
from __future__ import annotations

import random
from dataclasses import dataclass, field

THREADS = 64
MODES = ("rn", "rz", "rd", "ru")
# variable kinds: C type, number of variables, output conversion to 64 bits
TYPES = {
    "u": ("unsigned", 3),
    "s": ("int", 2),
    "w": ("unsigned long long", 2),
    "f": ("float", 3),
    "d": ("double", 2),
}
VARS = [f"{k}{i}" for k, (_, n) in TYPES.items() for i in range(n)]
LOCAL = 8  # entries of the thread-local array `la`

PRELUDE = r"""
FZ_FN int fz_sdiv(int a, int b) { return b == 0 || (a == (-2147483647 - 1) && b == -1) ? a : a / b; }
FZ_FN int fz_srem(int a, int b) { return b == 0 || b == -1 ? 0 : a % b; }
FZ_FN unsigned fz_umin(unsigned a, unsigned b) { return a < b ? a : b; }
FZ_FN int fz_smax(int a, int b) { return a > b ? a : b; }
"""
DEVICE_PRELUDE = r"""
#define FZ_FN static __device__ __forceinline__
FZ_FN float fz_fmin(float a, float b) { return fminf(a, b); }
FZ_FN float fz_fmax(float a, float b) { return fmaxf(a, b); }
FZ_FN double fz_dmin(double a, double b) { return fmin(a, b); }
FZ_FN double fz_dmax(double a, double b) { return fmax(a, b); }
FZ_FN float fz_fabs(float a) { return fabsf(a); }
FZ_FN double fz_dabs(double a) { return fabs(a); }
FZ_FN float fz_fsqrt(float a) { return sqrtf(a); }
FZ_FN double fz_dsqrt(double a) { return sqrt(a); }
FZ_FN bool fz_isnan(double a) { return isnan(a); }
""" + PRELUDE
HOST_PRELUDE = r"""
#include "host_model.h"
#define FZ_FN static inline
FZ_FN float fz_fmin(float a, float b) { return fh_min(a, b); }
FZ_FN float fz_fmax(float a, float b) { return fh_max(a, b); }
FZ_FN double fz_dmin(double a, double b) { return fh_min(a, b); }
FZ_FN double fz_dmax(double a, double b) { return fh_max(a, b); }
FZ_FN float fz_fabs(float a) { return std::fabs(a); }
FZ_FN double fz_dabs(double a) { return std::fabs(a); }
FZ_FN float fz_fsqrt(float a) { return std::sqrt(a); }
FZ_FN double fz_dsqrt(double a) { return std::sqrt(a); }
FZ_FN bool fz_isnan(double a) { return std::isnan(a); }
""" + PRELUDE


# ---- statements --------------------------------------------------------------
# Expressions are strings in which a variable v appears as {v}; the renderer
# substitutes `v` (device) or `S.v` (host, the thread's state).

@dataclass
class Assign:
    var: str
    expr: str


@dataclass
class If:
    cond: str
    then: list
    other: list


@dataclass
class Loop:
    count: str  # trip count expression (unsigned, small)
    body: list


@dataclass
class Store:  # la[index & 7] = value
    index: str
    value: str


@dataclass
class Exchange:  # top level: dst = src of thread (tid + k) % THREADS, via shared memory
    dst: str
    src: str
    k: int


@dataclass
class Shuffle:  # top level: dst = __shfl*_sync(full, src, arg)
    kind: str  # idx, xor, up, down
    dst: str
    src: str
    arg: str  # lane expression (idx) or a constant


@dataclass
class Vote:  # top level: dst = __ballot/__any/__all_sync(full, cond)
    kind: str
    dst: str
    cond: str


@dataclass
class Program:
    name: str
    body: list
    inputs: list = field(default_factory=list)  # THREADS x len(VARS) 64-bit values


class Gen:
    def __init__(self, rng: random.Random):
        self.r = rng

    def var(self, kind: str) -> str:
        return "{" + f"{kind}{self.r.randrange(TYPES[kind][1])}" + "}"

    def mode(self) -> str:
        return self.r.choice(MODES)

    def expr(self, kind: str, depth: int = 0) -> str:
        r = self.r
        if depth >= 3 or r.random() < 0.3:
            return self.leaf(kind)
        e = lambda k=kind: self.expr(k, depth + 1)  # noqa: E731
        m = self.mode()
        if kind == "u":
            return r.choice([
                lambda: f"({e()} + {e()})", lambda: f"({e()} - {e()})", lambda: f"({e()} * {e()})",
                lambda: f"({e()} ^ {e()})", lambda: f"({e()} & {e()})", lambda: f"({e()} | {e()})",
                lambda: f"({e()} << ({e()} & 31u))", lambda: f"({e()} >> ({e()} & 31u))", lambda: f"(~{e()})",
                lambda: f"({e()} / ({e()} | 1u))", lambda: f"({e()} % ({e()} | 1u))",
                lambda: f"fz_umin({e()}, {e()})", lambda: f"(unsigned)__popc({e()})",
                lambda: f"(unsigned)__clz((int){e()})", lambda: f"__brev({e()})", lambda: f"__umulhi({e()}, {e()})",
                lambda: f"__byte_perm({e()}, {e()}, {e()} & 0x7777u)",
                lambda: f"__funnelshift_l({e()}, {e()}, {e()})", lambda: f"__funnelshift_r({e()}, {e()}, {e()})",
                lambda: f"(unsigned){e('s')}", lambda: f"(unsigned){e('w')}",
                lambda: f"__float2uint_{m}({e('f')})", lambda: f"__double2uint_{m}({e('d')})",
                lambda: f"({self.cond(depth + 1)} ? {e()} : {e()})",
            ])()
        if kind == "s":
            return r.choice([
                lambda: f"(int)((unsigned){e()} + (unsigned){e()})", lambda: f"(int)((unsigned){e()} - (unsigned){e()})",
                lambda: f"(int)((unsigned){e()} * (unsigned){e()})", lambda: f"({e()} >> ({e('u')} & 31u))",
                lambda: f"fz_sdiv({e()}, {e()})", lambda: f"fz_srem({e()}, {e()})", lambda: f"fz_smax({e()}, {e()})",
                lambda: f"__mulhi({e()}, {e()})", lambda: f"(int){e('u')}",
                lambda: f"__float2int_{m}({e('f')})", lambda: f"__double2int_{m}({e('d')})",
                lambda: f"({self.cond(depth + 1)} ? {e()} : {e()})",
            ])()
        if kind == "w":
            return r.choice([
                lambda: f"({e()} + {e()})", lambda: f"({e()} * {e()})", lambda: f"({e()} ^ {e()})",
                lambda: f"({e()} >> ({e('u')} & 63u))", lambda: f"({e()} << ({e('u')} & 63u))",
                lambda: f"({e()} / ({e()} | 1ull))", lambda: f"__umul64hi({e()}, {e()})",
                lambda: f"(unsigned long long)__popcll({e()})", lambda: f"(unsigned long long)__clzll((long long){e()})",
                lambda: f"(unsigned long long)__mul64hi((long long){e()}, (long long){e()})",
                lambda: f"(unsigned long long){e('u')}", lambda: f"(unsigned long long)(long long){e('s')}",
                lambda: f"(unsigned long long)__float2ll_{m}({e('f')})", lambda: f"__float2ull_{m}({e('f')})",
                lambda: f"(unsigned long long)__double2ll_{m}({e('d')})", lambda: f"__double2ull_{m}({e('d')})",
            ])()
        if kind == "f":
            return r.choice([
                lambda: f"__fadd_{m}({e()}, {e()})", lambda: f"__fsub_{m}({e()}, {e()})",
                lambda: f"__fmul_{m}({e()}, {e()})", lambda: f"__fmaf_{m}({e()}, {e()}, {e()})",
                lambda: f"__fdiv_{m}({e()}, {e()})", lambda: f"__frcp_{m}({e()})", lambda: f"__fsqrt_{m}({e()})",
                lambda: f"({e()} + {e()})", lambda: f"({e()} * {e()})", lambda: f"({e()} / {e()})",
                lambda: f"fz_fsqrt({e()})", lambda: f"fz_fabs({e()})", lambda: f"(-({e()}))",
                lambda: f"fz_fmin({e()}, {e()})", lambda: f"fz_fmax({e()}, {e()})", lambda: f"__saturatef({e()})",
                lambda: f"__int2float_{m}({e('s')})", lambda: f"__uint2float_{m}({e('u')})",
                lambda: f"__ll2float_{m}((long long){e('w')})", lambda: f"__ull2float_{m}({e('w')})",
                lambda: f"__double2float_{m}({e('d')})", lambda: f"({self.cond(depth + 1)} ? {e()} : {e()})",
            ])()
        return r.choice([
            lambda: f"__dadd_{m}({e()}, {e()})", lambda: f"__dsub_{m}({e()}, {e()})",
            lambda: f"__dmul_{m}({e()}, {e()})", lambda: f"__fma_{m}({e()}, {e()}, {e()})",
            lambda: f"__ddiv_{m}({e()}, {e()})", lambda: f"__drcp_{m}({e()})", lambda: f"__dsqrt_{m}({e()})",
            lambda: f"({e()} - {e()})", lambda: f"({e()} * {e()})", lambda: f"({e()} / {e()})",
            lambda: f"fz_dsqrt({e()})", lambda: f"fz_dabs({e()})", lambda: f"(-({e()}))",
            lambda: f"fz_dmin({e()}, {e()})", lambda: f"fz_dmax({e()}, {e()})", lambda: f"(double){e('f')}",
            lambda: f"__ll2double_{m}((long long){e('w')})", lambda: f"__ull2double_{m}({e('w')})",
            lambda: f"({self.cond(depth + 1)} ? {e()} : {e()})",
        ])()

    def leaf(self, kind: str) -> str:
        r = self.r
        x = r.random()
        if kind == "u":
            if x < 0.15:
                return r.choice(["tid", "lane", f"{r.getrandbits(32)}u", "la[tid & 7u]"])
        elif kind == "s":
            if x < 0.1:
                return f"({r.randrange(-100, 100)})"
        elif kind == "w":
            if x < 0.1:
                return f"{r.getrandbits(64)}ull"
        elif kind == "f":
            if x < 0.15:
                return r.choice(["1.0f", "0.5f", "-0.0f", "3.0e38f", "1.0e-40f", "0.1f", "1.5f"])
        elif x < 0.15:
            return r.choice(["1.0", "-0.0", "1.0e308", "4.9e-324", "0.1", "2.5"])
        return self.var(kind)

    def cond(self, depth: int = 0) -> str:
        r = self.r
        k = r.choice("usfd")
        op = r.choice(["<", "<=", "==", "!=", ">", ">="])
        if r.random() < 0.3:
            return f"((tid & {r.choice([1, 3, 5, 16, 33])}u) {op} {r.randrange(3)}u)"
        if k in "fd" and r.random() < 0.2:
            return f"fz_isnan({self.expr(k, depth + 2)})"
        return f"({self.expr(k, depth + 2)} {op} {self.expr(k, depth + 2)})"

    def block(self, n: int, depth: int, top: bool) -> list:
        out = []
        for _ in range(n):
            x = self.r.random()
            if depth < 2 and x < 0.12:
                out.append(If(self.cond(), self.block(self.r.randrange(1, 4), depth + 1, False),
                              self.block(self.r.randrange(0, 3), depth + 1, False)))
            elif depth < 2 and x < 0.2:
                out.append(Loop(f"({self.expr('u', 2)} & 7u)", self.block(self.r.randrange(1, 3), depth + 1, False)))
            elif x < 0.26:
                out.append(Store(self.expr("u", 2), self.expr("u", 1)))
            elif top and x < 0.36:
                out.append(self.collective())
            else:
                kind = self.r.choice("usfwd")
                out.append(Assign(self.var(kind)[1:-1], self.expr(kind)))
        return out

    def collective(self):
        r = self.r
        x = r.random()
        kind = r.choice("usfwd")
        dst, src = self.var(kind)[1:-1], self.var(kind)
        if x < 0.35:
            return Exchange(dst, src, r.randrange(1, THREADS))
        if x < 0.75 and kind in "usf":
            sk = r.choice(["idx", "xor", "up", "down"])
            arg = self.expr("u", 2) if sk == "idx" else str(r.randrange(1, 32))
            return Shuffle(sk, dst, src, arg)
        return Vote(r.choice(["ballot", "any", "all"]), self.var("u")[1:-1], self.cond())

    def inputs(self) -> list:
        rows = []
        for _ in range(THREADS):
            row = []
            for v in VARS:
                row.append(self.value(v[0]))
            rows.append(row)
        return rows

    def value(self, kind: str) -> int:
        r = self.r
        x = r.random()
        if kind in "usw":
            bits = 64 if kind == "w" else 32
            return r.randrange(-20, 20) % (1 << bits) if x < 0.3 else r.getrandbits(bits)
        if kind == "f":
            if x < 0.3:
                return r.choice([0, 0x80000000, 1, 0x807FFFFF, 0x7F7FFFFF, 0x7F800000, 0xFF800000, 0x7FC00000,
                                 0x3F800000, 0xBF800000, 0x3F000000, 0x4B000001, 0x00800000])
            return (r.getrandbits(1) << 31) | (r.randrange(90, 165) << 23) | r.getrandbits(23)
        if x < 0.3:
            return r.choice([0, 1 << 63, 1, 0x7FEFFFFFFFFFFFFF, 0x7FF0000000000000, 0xFFF0000000000000,
                             0x7FF8000000000000, 0x3FF0000000000000, 0x4330000000000001, 0x0010000000000000])
        return (r.getrandbits(1) << 63) | (r.randrange(900, 1150) << 52) | r.getrandbits(52)


def generate(seed: int, index: int) -> Program:
    rng = random.Random(seed * 1000003 + index)
    g = Gen(rng)
    body = g.block(rng.randrange(10, 40), 0, True)
    return Program(f"fz{index}", body, g.inputs())


# ---- rendering -----------------------------------------------------------------

def subst(expr: str, host: bool) -> str:
    for v in VARS:
        expr = expr.replace("{" + v + "}", ("S." if host else "") + v)
    return expr.replace("la[", "S.la[") if host else expr


def render_stmts(stmts: list, host: bool, indent: str, counter: list) -> list[str]:
    out = []
    for s in stmts:
        if isinstance(s, Assign):
            out.append(f"{indent}{('S.' if host else '') + s.var} = {subst(s.expr, host)};")
        elif isinstance(s, Store):
            la = "S.la" if host else "la"
            out.append(f"{indent}{la}[({subst(s.index, host)}) & 7u] = {subst(s.value, host)};")
        elif isinstance(s, If):
            out.append(f"{indent}if ({subst(s.cond, host)}) {{")
            out += render_stmts(s.then, host, indent + "  ", counter)
            out.append(f"{indent}}} else {{")
            out += render_stmts(s.other, host, indent + "  ", counter)
            out.append(f"{indent}}}")
        elif isinstance(s, Loop):
            counter[0] += 1
            i = f"i{counter[0]}"
            out.append(f"{indent}for (unsigned {i} = 0, n{i} = {subst(s.count, host)}; {i} < n{i}; ++{i}) {{")
            out += render_stmts(s.body, host, indent + "  ", counter)
            out.append(f"{indent}}}")
    return out


def device_collective(s, indent: str) -> list[str]:
    full = "0xffffffffu"
    if isinstance(s, Exchange):
        sh = f"sh_{s.dst[0]}"
        return [f"{indent}{sh}[tid] = {subst(s.src, False)};", f"{indent}__syncthreads();",
                f"{indent}{s.dst} = {sh}[(tid + {s.k}u) % {THREADS}u];", f"{indent}__syncthreads();"]
    if isinstance(s, Shuffle):
        fn = {"idx": "__shfl_sync", "xor": "__shfl_xor_sync", "up": "__shfl_up_sync", "down": "__shfl_down_sync"}[s.kind]
        arg = subst(s.arg, False) if s.kind == "idx" else s.arg + "u"
        return [f"{indent}{s.dst} = {fn}({full}, {subst(s.src, False)}, {arg});"]
    fn = {"ballot": "__ballot_sync", "any": "__any_sync", "all": "__all_sync"}[s.kind]
    return [f"{indent}{s.dst} = (unsigned){fn}({full}, {subst(s.cond, False)});"]


def device_kernel(p: Program) -> str:
    nv = len(VARS)
    lines = [f'extern "C" __global__ void {p.name}(const unsigned long long* in, unsigned long long* out) {{',
             "  const unsigned tid = threadIdx.x, lane = tid & 31u;"]
    for k, (t, _) in TYPES.items():
        lines.append(f"  __shared__ {t} sh_{k}[{THREADS}];")
    for i, v in enumerate(VARS):
        lines.append(f"  {TYPES[v[0]][0]} {v} = {load(v, f'in[tid * {nv}u + {i}u]')};")
    lines.append(f"  unsigned la[{LOCAL}];")
    lines.append(f"  for (unsigned k = 0; k < {LOCAL}u; ++k) la[k] = (unsigned)(in[tid * {nv}u + k % {nv}u] >> k);")
    counter = [0]
    for s in p.body:
        if isinstance(s, (Exchange, Shuffle, Vote)):
            lines += device_collective(s, "  ")
        else:
            lines += render_stmts([s], False, "  ", counter)
    for i, v in enumerate(VARS):
        lines.append(f"  out[tid * {nv}u + {i}u] = {store(v, v)};")
    lines.append("}")
    return "\n".join(lines)


def load(v: str, src: str) -> str:
    k = v[0]
    if k == "f":
        return f"__uint_as_float((unsigned){src})"
    if k == "d":
        return f"__longlong_as_double((long long){src})"
    return f"({TYPES[k][0]}){src}"


def store(v: str, x: str) -> str:
    k = v[0]
    if k == "f":
        return f"(unsigned long long)__float_as_uint({x})"
    if k == "d":
        return f"(unsigned long long)__double_as_longlong({x})"
    if k == "s":
        return f"(unsigned long long)(unsigned){x}"
    return f"(unsigned long long){x}"


def host_function(p: Program) -> str:
    nv = len(VARS)
    fields = " ".join(f"{TYPES[v[0]][0]} {v};" for v in VARS)
    lines = [f"namespace {p.name} {{", f"struct T {{ {fields} unsigned la[{LOCAL}]; }};",
             "void run(const unsigned long long* in, unsigned long long* out) {",
             f"  static T th[{THREADS}];",
             f"  for (unsigned tid = 0; tid < {THREADS}u; ++tid) {{", "    T& S = th[tid];"]
    for i, v in enumerate(VARS):
        lines.append(f"    S.{v} = {host_load(v, f'in[tid * {nv}u + {i}u]')};")
    lines.append(f"    for (unsigned k = 0; k < {LOCAL}u; ++k) S.la[k] = (unsigned)(in[tid * {nv}u + k % {nv}u] >> k);")
    lines.append("  }")
    counter = [0]
    segment: list = []

    def flush():
        if segment:
            lines.append(f"  for (unsigned tid = 0; tid < {THREADS}u; ++tid) {{")
            lines.append("    T& S = th[tid]; const unsigned lane = tid & 31u; (void)lane; (void)S;")
            lines.extend(render_stmts(segment, True, "    ", counter))
            lines.append("  }")
            segment.clear()

    for s in p.body:
        if isinstance(s, (Exchange, Shuffle, Vote)):
            flush()
            lines += host_collective(s)
        else:
            segment.append(s)
    flush()
    lines.append(f"  for (unsigned tid = 0; tid < {THREADS}u; ++tid) {{")
    lines.append("    T& S = th[tid];")
    for i, v in enumerate(VARS):
        lines.append(f"    out[tid * {nv}u + {i}u] = {host_store(v, 'S.' + v)};")
    lines += ["  }", "}", f"}}  // namespace {p.name}"]
    return "\n".join(lines)


def host_collective(s) -> list[str]:
    loop = f"for (unsigned tid = 0; tid < {THREADS}u; ++tid)"
    pre = "T& S = th[tid]; const unsigned lane = tid & 31u; (void)lane; (void)S;"
    if isinstance(s, Exchange):
        t = TYPES[s.dst[0]][0]
        return ["  {", f"    {t} v[{THREADS}];", f"    {loop} {{ {pre} v[tid] = {subst(s.src, True)}; }}",
                f"    {loop} th[tid].{s.dst} = v[(tid + {s.k}u) % {THREADS}u];", "  }"]
    if isinstance(s, Shuffle):
        t = TYPES[s.dst[0]][0]
        arg = subst(s.arg, True) if s.kind == "idx" else s.arg + "u"
        src = {"idx": "(a[tid] & 31u)", "xor": f"(lane ^ {arg})",
               "up": f"(lane >= {arg} ? lane - {arg} : lane)",
               "down": f"(lane + {arg} < 32u ? lane + {arg} : lane)"}[s.kind]
        return ["  {", f"    {t} v[{THREADS}]; unsigned a[{THREADS}];",
                f"    {loop} {{ {pre} v[tid] = {subst(s.src, True)}; a[tid] = {arg}; }}",
                f"    {loop} {{ const unsigned lane = tid & 31u; th[tid].{s.dst} = v[(tid & ~31u) + {src}]; (void)a; }}",
                "  }"]
    c = {"ballot": "m", "any": "(m != 0u)", "all": "(m == 0xffffffffu)"}[s.kind]
    return ["  {", f"    bool c[{THREADS}];", f"    {loop} {{ {pre} c[tid] = {subst(s.cond, True)}; }}",
            f"    {loop} {{ unsigned m = 0; for (unsigned l = 0; l < 32u; ++l) m |= (unsigned)c[(tid & ~31u) + l] << l;"
            f" th[tid].{s.dst} = (unsigned){c}; }}", "  }"]


def host_load(v: str, src: str) -> str:
    k = v[0]
    if k == "f":
        return f"fuzz_host::from32((unsigned){src})"
    if k == "d":
        return f"fuzz_host::from64({src})"
    return f"({TYPES[k][0]}){src}"


def host_store(v: str, x: str) -> str:
    k = v[0]
    if k == "f":
        return f"(unsigned long long)fuzz_host::bits32({x})"
    if k == "d":
        return f"fuzz_host::bits64({x})"
    if k == "s":
        return f"(unsigned long long)(unsigned){x}"
    return f"(unsigned long long){x}"


def device_source(programs: list[Program]) -> str:
    return DEVICE_PRELUDE + "\n" + "\n\n".join(device_kernel(p) for p in programs) + "\n"


def host_source(programs: list[Program]) -> str:
    nv = len(VARS)
    table = ", ".join(f"{p.name}::run" for p in programs)
    return (HOST_PRELUDE + "\n#include <cstdio>\n#include <vector>\n" + "\n\n".join(host_function(p) for p in programs)
            + f"""
int main() {{
  void (*runs[])(const unsigned long long*, unsigned long long*) = {{{table}}};
  std::vector<unsigned long long> in({THREADS * nv}), out({THREADS * nv});
  for (auto run : runs) {{
    if (std::fread(in.data(), 8, in.size(), stdin) != in.size()) return 1;
    run(in.data(), out.data());
    std::fwrite(out.data(), 8, out.size(), stdout);
  }}
  return 0;
}}
""")
