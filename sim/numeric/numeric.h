// Exact arithmetic models of the simulated device: IEEE operations with the
// PTX rounding modes, conversions, and the tensor-core dot product.
//
// Contract between the numeric models (numeric/) and the interpreter (exec/).
// Every function is pure and bit-exact; nothing here is approximate.  The
// round-to-nearest paths use the host FPU, so they need the default
// floating-point environment (nearest, no flush-to-zero, no denormals-are-
// zero); the executor sets it on every thread that runs blocks
// (numeric/fp_env.h), whatever the caller's.
#pragma once

#include <cstdint>

namespace tvnsim::num {

// PTX rounding modifiers: .rn (nearest, ties to even), .rz, .rm, .rp for
// floating results; .rni, .rzi, .rmi, .rpi for integer results.
enum class Round : uint8_t { Nearest, Zero, Down, Up };

// ---- hardware choices ------------------------------------------------------
// Bit patterns of NaN results and other device behaviour that no GPU run of
// this project has confirmed yet are named here, so one place changes when
// a run settles them.
//
// f32 arithmetic, f64 -> f32 and mma results: the canonical NaN; f16 -> f32
// gives it too, as NVIDIA's host conversion does (unverified on the device).
inline constexpr uint32_t kNaN32 = 0x7FFFFFFFu;
// f64 arithmetic and f32 -> f64 (unverified).
inline constexpr uint64_t kNaN64 = 0x7FFFFFFFFFFFFFFFull;
// cvt to f16 and to bf16 from a NaN: what NVIDIA's host conversion code
// returns (unverified for the device instruction).
inline constexpr uint16_t kNaN16 = 0x7FFFu;
// mma whose truncated sum exceeds the f32 range: Inf as in MMA-Sim, not the
// largest finite value that truncation alone would give (unverified).
inline constexpr bool kMmaOverflowToInf = true;

// ---- f32 / f64 arithmetic (correctly rounded in the given mode) ----------
float add_f32(float a, float b, Round r);
float sub_f32(float a, float b, Round r);
float mul_f32(float a, float b, Round r);
float fma_f32(float a, float b, float c, Round r);  // one rounding
float div_f32(float a, float b, Round r);           // div.rn / .rz / .rm / .rp
float sqrt_f32(float a, Round r);
float rcp_f32(float a, Round r);
double add_f64(double a, double b, Round r);
double sub_f64(double a, double b, Round r);
double mul_f64(double a, double b, Round r);
double fma_f64(double a, double b, double c, Round r);
double div_f64(double a, double b, Round r);
double sqrt_f64(double a, Round r);
double rcp_f64(double a, Round r);

// .ftz: subnormal inputs and results flushed to sign-preserving zero.
float flush_subnormal(float x);
// .sat: clamp to [0, 1]; NaN and every x <= 0, -0 included, give +0.
float saturate(float x);
// PTX min/max.f32: a NaN operand yields the other operand, both NaN give
// kNaN32; -0 orders below +0.
float min_f32(float a, float b);
float max_f32(float a, float b);

// ---- conversions (cvt) ---------------------------------------------------
// Narrowing to 16-bit floats; overflow gives Inf or the largest finite value
// as the mode prescribes, subnormal results are kept, NaN gives kNaN16.
uint16_t f32_to_f16(float x, Round r);
uint16_t f32_to_bf16(float x, Round r);
float f16_to_f32(uint16_t h);   // exact; a NaN gives kNaN32
float bf16_to_f32(uint16_t h);  // exact; a NaN keeps its payload
float f64_to_f32(double x, Round r);
double f32_to_f64(float x);     // exact; a NaN gives kNaN64
// Float to integer of `bits` (8, 16, 32, 64) width, signed or not, rounded as
// given; saturates to the integer range.  A NaN gives 0 when the source was
// narrower than f64 and the result narrower than 64 bits, and otherwise
// 1 << (bits - 1) (the most negative signed value, 2^(bits-1) unsigned), as
// cvt does.  Signed results come back sign-extended to 64 bits, unsigned
// ones zero-extended.
uint64_t f64_to_int(double x, Round r, int bits, bool is_signed, bool f64_source);
// Integer to float, rounded as given (narrower integers are widened by the
// caller).
float s64_to_f32(int64_t v, Round r);
float u64_to_f32(uint64_t v, Round r);
double s64_to_f64(int64_t v, Round r);
double u64_to_f64(uint64_t v, Round r);

// ---- tensor cores ----------------------------------------------------------
enum class MmaInput : uint8_t { BF16, F16 };
// Published hardware models of the f32-accumulating mma: Ampere adds in two
// steps of 8 products, Hopper and newer in one step of 16.
enum class MmaModel : uint8_t { Ampere, Hopper };

MmaModel mma_model_for(int cc_major, int cc_minor);

// One output element of mma.m16n8k16 with f32 accumulation:
// d = c + sum_k a[k] * b[k], k = 0..15, under the model's alignment and
// truncation rules.  a and b hold raw 16-bit patterns of the input type.
float mma_dot16(const uint16_t a[16], const uint16_t b[16], float c, MmaInput t, MmaModel m);
// The whole m16n8k16 tile, each element exactly as mma_dot16 computes it but
// with every input decoded once: a is the 16x16 A tile row-major, b the 16x8
// B tile column by column (b[n * 16 + k]), c and d the 16x8 C and D tiles
// row-major (d[m * 8 + n]).  d may alias c.
void mma_m16n8k16(const uint16_t a[256], const uint16_t b[128], const float c[128], float d[128], MmaInput t,
                  MmaModel m);

}  // namespace tvnsim::num
