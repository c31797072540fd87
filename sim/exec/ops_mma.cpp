// mma.sync.aligned.m16n8k16.row.col.f32.{bf16,f16}.{bf16,f16}.f32: each
// output element gathers its row of A and column of B from the lanes'
// fragments and is computed by the numeric tensor-core model.
//
// Lane L, g = L / 4, t = L % 4; element i of a register pair list sits in
// register i / 2, low half when i is even.
//   A (8 elements): row g + 8 * ((i / 2) % 2), column 2t + i % 2 + 8 * (i >= 4)
//   B (4 elements): row 2t + i % 2 + 8 * (i >= 2), column g
//   C, D (4 f32):   row g + 8 * (i >= 2), column 2t + i % 2
#include <bit>

#include "exec/ops.h"

namespace tvnsim::exec {

void mma(Ctx& c, const Instr& in, uint32_t mask) {
  if (!aligned_collective(c, in, mask, "mma.sync")) return;
  uint16_t a[16 * 16], b[8 * 16];  // A row-major, B column by column
  float acc[16 * 8];               // C, then D, row-major
  for (int lane = 0; lane < 32; ++lane) {
    const int g = lane / 4, t = lane % 4;
    for (int i = 0; i < 8; ++i) {
      const uint32_t reg = static_cast<uint32_t>(c.w.reg(in.o[4 + i / 2])[lane]);
      const int row = g + 8 * ((i / 2) % 2), col = 2 * t + i % 2 + 8 * (i >= 4);
      a[row * 16 + col] = static_cast<uint16_t>(i % 2 ? reg >> 16 : reg);
    }
    for (int i = 0; i < 4; ++i) {
      const uint32_t reg = static_cast<uint32_t>(c.w.reg(in.o[8 + i / 2])[lane]);
      const int k = 2 * t + i % 2 + 8 * (i >= 2);
      b[g * 16 + k] = static_cast<uint16_t>(i % 2 ? reg >> 16 : reg);
    }
    for (int i = 0; i < 4; ++i) {
      const int row = g + 8 * (i >= 2), col = 2 * t + i % 2;
      acc[row * 8 + col] = std::bit_cast<float>(static_cast<uint32_t>(c.w.reg(in.o[10 + i])[lane]));
    }
  }
  const num::MmaInput type = in.type2 == ptx::Type::BF16 ? num::MmaInput::BF16 : num::MmaInput::F16;
  num::mma_m16n8k16(a, b, acc, acc, type, c.b.mma_model);
  // Every input is gathered before any destination is written: D may be C.
  for (int lane = 0; lane < 32; ++lane) {
    const int g = lane / 4, t = lane % 4;
    for (int i = 0; i < 4; ++i) {
      const int row = g + 8 * (i >= 2), col = 2 * t + i % 2;
      c.w.reg(in.o[i])[lane] = std::bit_cast<uint32_t>(acc[row * 8 + col]);
    }
  }
  ++c.w.sync_gen;
}

}  // namespace tvnsim::exec
