// Integer and bit operations with PTX's wrap-around, clamping and
// sign-extension rules.  Results are stored zero-extended from the operation
// width; sources are read at that width.
#include <bit>

#include "exec/ops.h"
#include "exec/slot_bits.h"

namespace tvnsim::exec {
namespace {

using ptx::Type;

struct Regs {
  uint64_t* d;
  const uint64_t *a, *b, *c, *e;
  Regs(Ctx& x, const Instr& in)
      : d(x.w.reg(in.o[0])), a(x.w.reg(in.o[1])), b(x.w.reg(in.o[2])), c(x.w.reg(in.o[3])),
        e(x.w.reg(in.o[4])) {}
};

template <class F>
void binary(Ctx& x, const Instr& in, uint32_t mask, F&& f) {
  Regs r(x, in);
  const uint32_t n = ptx::type_size(in.type);
  const uint64_t m = width_mask(n);
  const bool s = ptx::type_signed(in.type);
  each_lane(mask, [&](int l) { r.d[l] = f(r.a[l], r.b[l], n, s) & m; });
}

}  // namespace

void iadd(Ctx& x, const Instr& in, uint32_t mask) {
  if (in.flags & ptx::kIntSat) {
    Regs r(x, in);
    each_lane(mask, [&](int l) {
      int64_t v = static_cast<int64_t>(static_cast<int32_t>(r.a[l])) + static_cast<int32_t>(r.b[l]);
      v = v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : v;
      r.d[l] = static_cast<uint32_t>(v);
    });
    return;
  }
  binary(x, in, mask, [](uint64_t a, uint64_t b, uint32_t, bool) { return a + b; });
}

void isub(Ctx& x, const Instr& in, uint32_t mask) {
  if (in.flags & ptx::kIntSat) {
    Regs r(x, in);
    each_lane(mask, [&](int l) {
      int64_t v = static_cast<int64_t>(static_cast<int32_t>(r.a[l])) - static_cast<int32_t>(r.b[l]);
      v = v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : v;
      r.d[l] = static_cast<uint32_t>(v);
    });
    return;
  }
  binary(x, in, mask, [](uint64_t a, uint64_t b, uint32_t, bool) { return a - b; });
}

namespace {

// Full product of two n-byte values: the low and high halves of a 2n-byte result.
inline void full_product(uint64_t a, uint64_t b, uint32_t n, bool s, uint64_t* lo, uint64_t* hi) {
  if (n == 8) {
    if (s) {
      const __int128 p = static_cast<__int128>(static_cast<int64_t>(a)) * static_cast<int64_t>(b);
      *lo = static_cast<uint64_t>(p);
      *hi = static_cast<uint64_t>(static_cast<unsigned __int128>(p) >> 64);
    } else {
      const unsigned __int128 p = static_cast<unsigned __int128>(a) * b;
      *lo = static_cast<uint64_t>(p);
      *hi = static_cast<uint64_t>(p >> 64);
    }
    return;
  }
  const uint64_t m = width_mask(n);
  const uint64_t p = s ? static_cast<uint64_t>(sext(a & m, n) * sext(b & m, n)) : (a & m) * (b & m);
  *lo = p & m;
  *hi = (p >> (8 * n)) & m;
}

template <int Kind>  // 0 lo, 1 hi, 2 wide
void imul(Ctx& x, const Instr& in, uint32_t mask) {
  Regs r(x, in);
  const uint32_t n = ptx::type_size(in.type);
  const bool s = ptx::type_signed(in.type);
  each_lane(mask, [&](int l) {
    uint64_t lo, hi;
    full_product(r.a[l], r.b[l], n, s, &lo, &hi);
    r.d[l] = Kind == 0 ? lo : Kind == 1 ? hi : (lo | (hi << (8 * n)));
  });
}

template <int Kind>
void imad(Ctx& x, const Instr& in, uint32_t mask) {
  Regs r(x, in);
  const uint32_t n = ptx::type_size(in.type);
  const bool s = ptx::type_signed(in.type);
  const uint64_t m = width_mask(Kind == 2 ? 2 * n : n);
  each_lane(mask, [&](int l) {
    uint64_t lo, hi;
    full_product(r.a[l], r.b[l], n, s, &lo, &hi);
    const uint64_t p = Kind == 0 ? lo : Kind == 1 ? hi : (lo | (hi << (8 * n)));
    r.d[l] = (p + r.c[l]) & m;
  });
}

}  // namespace

// Division by zero has no defined result on the GPU; the simulator gives all
// ones for the quotient and the dividend for the remainder, every time.
void idiv(Ctx& x, const Instr& in, uint32_t mask) {
  binary(x, in, mask, [](uint64_t a, uint64_t b, uint32_t n, bool s) -> uint64_t {
    const uint64_t m = width_mask(n);
    if ((b & m) == 0) return ~0ull;
    if (!s) return (a & m) / (b & m);
    const int64_t sa = sext(a & m, n), sb = sext(b & m, n);
    if (sb == -1) return static_cast<uint64_t>(0) - static_cast<uint64_t>(sa);  // wraps at the minimum
    return static_cast<uint64_t>(sa / sb);
  });
}

void irem(Ctx& x, const Instr& in, uint32_t mask) {
  binary(x, in, mask, [](uint64_t a, uint64_t b, uint32_t n, bool s) -> uint64_t {
    const uint64_t m = width_mask(n);
    if ((b & m) == 0) return a;
    if (!s) return (a & m) % (b & m);
    const int64_t sa = sext(a & m, n), sb = sext(b & m, n);
    if (sb == -1) return 0;
    return static_cast<uint64_t>(sa % sb);
  });
}

void imin(Ctx& x, const Instr& in, uint32_t mask) {
  binary(x, in, mask, [](uint64_t a, uint64_t b, uint32_t n, bool s) -> uint64_t {
    const uint64_t m = width_mask(n);
    if (s) return sext(a & m, n) <= sext(b & m, n) ? a : b;
    return (a & m) <= (b & m) ? a : b;
  });
}

void imax(Ctx& x, const Instr& in, uint32_t mask) {
  binary(x, in, mask, [](uint64_t a, uint64_t b, uint32_t n, bool s) -> uint64_t {
    const uint64_t m = width_mask(n);
    if (s) return sext(a & m, n) >= sext(b & m, n) ? a : b;
    return (a & m) >= (b & m) ? a : b;
  });
}

void iabs(Ctx& x, const Instr& in, uint32_t mask) {
  binary(x, in, mask, [](uint64_t a, uint64_t, uint32_t n, bool) -> uint64_t {
    const int64_t v = sext(a, n);
    return v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
  });
}

void ineg(Ctx& x, const Instr& in, uint32_t mask) {
  binary(x, in, mask, [](uint64_t a, uint64_t, uint32_t, bool) { return 0 - a; });
}

void band(Ctx& x, const Instr& in, uint32_t mask) {
  binary(x, in, mask, [](uint64_t a, uint64_t b, uint32_t, bool) { return a & b; });
}
void bor(Ctx& x, const Instr& in, uint32_t mask) {
  binary(x, in, mask, [](uint64_t a, uint64_t b, uint32_t, bool) { return a | b; });
}
void bxor(Ctx& x, const Instr& in, uint32_t mask) {
  binary(x, in, mask, [](uint64_t a, uint64_t b, uint32_t, bool) { return a ^ b; });
}
void bnot(Ctx& x, const Instr& in, uint32_t mask) {
  binary(x, in, mask, [](uint64_t a, uint64_t, uint32_t, bool) { return ~a; });
}
void cnot(Ctx& x, const Instr& in, uint32_t mask) {
  binary(x, in, mask, [](uint64_t a, uint64_t, uint32_t n, bool) -> uint64_t {
    return (a & width_mask(n)) == 0 ? 1 : 0;
  });
}

// Shift amounts are unsigned 32-bit and clamp at the operand width.
void shl(Ctx& x, const Instr& in, uint32_t mask) {
  binary(x, in, mask, [](uint64_t a, uint64_t b, uint32_t n, bool) -> uint64_t {
    const uint32_t k = static_cast<uint32_t>(b);
    return k >= 8 * n ? 0 : a << k;
  });
}

void shr(Ctx& x, const Instr& in, uint32_t mask) {
  binary(x, in, mask, [](uint64_t a, uint64_t b, uint32_t n, bool s) -> uint64_t {
    const uint32_t k = static_cast<uint32_t>(b);
    const uint32_t bits = 8 * n;
    if (s) {
      const int64_t v = sext(a & width_mask(n), n);
      return static_cast<uint64_t>(v >> (k >= bits ? 63 : k));
    }
    return k >= bits ? 0 : (a & width_mask(n)) >> k;
  });
}

void popc(Ctx& x, const Instr& in, uint32_t mask) {
  Regs r(x, in);
  const uint64_t m = width_mask(ptx::type_size(in.type));
  each_lane(mask, [&](int l) { r.d[l] = static_cast<uint64_t>(std::popcount(r.a[l] & m)); });
}

void clz(Ctx& x, const Instr& in, uint32_t mask) {
  Regs r(x, in);
  const uint32_t n = ptx::type_size(in.type);
  each_lane(mask, [&](int l) {
    const uint64_t v = r.a[l] & width_mask(n);
    r.d[l] = static_cast<uint64_t>(std::countl_zero(v) - (64 - 8 * static_cast<int>(n)));
  });
}

void brev(Ctx& x, const Instr& in, uint32_t mask) {
  Regs r(x, in);
  const uint32_t n = ptx::type_size(in.type);
  each_lane(mask, [&](int l) {
    uint64_t v = r.a[l], out = 0;
    for (uint32_t i = 0; i < 8 * n; ++i) out |= ((v >> i) & 1) << (8 * n - 1 - i);
    r.d[l] = out;
  });
}

void bfe(Ctx& x, const Instr& in, uint32_t mask) {
  Regs r(x, in);
  const uint32_t n = ptx::type_size(in.type);
  const uint32_t msb = 8 * n - 1;
  const bool s = ptx::type_signed(in.type);
  each_lane(mask, [&](int l) {
    const uint64_t a = r.a[l];
    const uint32_t pos = r.b[l] & 0xFF, len = r.c[l] & 0xFF;
    uint64_t sbit = 0;
    if (s && len != 0) {
      const uint32_t top = pos + len - 1 < msb ? pos + len - 1 : msb;
      sbit = (a >> top) & 1;
    }
    uint64_t d = 0;
    for (uint32_t i = 0; i <= msb; ++i) {
      const uint64_t bit = (i < len && pos + i <= msb) ? (a >> (pos + i)) & 1 : sbit;
      d |= bit << i;
    }
    r.d[l] = d;
  });
}

void bfi(Ctx& x, const Instr& in, uint32_t mask) {
  Regs r(x, in);
  const uint32_t msb = 8 * ptx::type_size(in.type) - 1;
  const uint64_t m = width_mask(ptx::type_size(in.type));
  each_lane(mask, [&](int l) {
    const uint32_t pos = r.c[l] & 0xFF, len = r.e[l] & 0xFF;
    uint64_t f = r.b[l];
    for (uint32_t i = 0; i < len && pos + i <= msb; ++i) {
      f = (f & ~(1ull << (pos + i))) | (((r.a[l] >> i) & 1) << (pos + i));
    }
    r.d[l] = f & m;
  });
}

void prmt(Ctx& x, const Instr& in, uint32_t mask) {
  Regs r(x, in);
  each_lane(mask, [&](int l) {
    const uint64_t src = (r.a[l] & 0xFFFFFFFFull) | (r.b[l] << 32);
    const uint32_t ctl = static_cast<uint32_t>(r.c[l]);
    uint32_t d = 0;
    for (int i = 0; i < 4; ++i) {
      const uint32_t sel = (ctl >> (4 * i)) & 0xF;
      uint32_t byte = static_cast<uint32_t>(src >> (8 * (sel & 7))) & 0xFF;
      if (sel & 8) byte = (byte & 0x80) ? 0xFF : 0;
      d |= byte << (8 * i);
    }
    r.d[l] = d;
  });
}

void lop3(Ctx& x, const Instr& in, uint32_t mask) {
  Regs r(x, in);
  const uint32_t lut = static_cast<uint32_t>(in.imm2) & 0xFF;
  each_lane(mask, [&](int l) {
    const uint32_t a = static_cast<uint32_t>(r.a[l]), b = static_cast<uint32_t>(r.b[l]),
                   c = static_cast<uint32_t>(r.c[l]);
    uint32_t d = 0;
    for (int i = 0; i < 8; ++i) {
      if (lut >> i & 1) d |= ((i & 4) ? a : ~a) & ((i & 2) ? b : ~b) & ((i & 1) ? c : ~c);
    }
    r.d[l] = d;
  });
}

// Funnel shift of the 64-bit value b:a.
void shf(Ctx& x, const Instr& in, uint32_t mask) {
  Regs r(x, in);
  const bool left = in.flags & ptx::kShfLeft, clamp = in.flags & ptx::kShfClamp;
  each_lane(mask, [&](int l) {
    const uint32_t c = static_cast<uint32_t>(r.c[l]);
    const uint32_t k = clamp ? (c < 32 ? c : 32) : (c & 31);
    const uint64_t v = (r.a[l] & 0xFFFFFFFFull) | (r.b[l] << 32);
    r.d[l] = left ? static_cast<uint32_t>((v << k) >> 32) : static_cast<uint32_t>(v >> k);
  });
}

void imul_lo(Ctx& x, const Instr& in, uint32_t mask) { imul<0>(x, in, mask); }
void imul_hi(Ctx& x, const Instr& in, uint32_t mask) { imul<1>(x, in, mask); }
void imul_wide(Ctx& x, const Instr& in, uint32_t mask) { imul<2>(x, in, mask); }
void imad_lo(Ctx& x, const Instr& in, uint32_t mask) { imad<0>(x, in, mask); }
void imad_hi(Ctx& x, const Instr& in, uint32_t mask) { imad<1>(x, in, mask); }
void imad_wide(Ctx& x, const Instr& in, uint32_t mask) { imad<2>(x, in, mask); }

}  // namespace tvnsim::exec
