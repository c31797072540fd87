// Operand type checks of the typed and tensor-core tiers: their order, their
// texts, and their precedence over the shape.
#include "dispatch.h"
#include "dispatch_fixture.h"
#include "support/sim_control.h"

namespace tesvan::test {
namespace {

constexpr DType f32 = DType::F32, bf16 = DType::BF16, f16 = DType::F16;
constexpr const char* kF32 = "operand is f32 \xE2\x80\x94 use the f32 entry points";

// Three operand types in the order the function takes them (dW: dy, x).
struct Types {
  DType first, second, third;
};

struct Family {
  const char* name;
  Status (*call)(const EngineStream&, Kernels&, Types, Dims);
  Dims served;  // a shape with a bucket when the types agree
  const char* mixed;
};

const Family kFamilies[] = {
    {"forward_typed",
     [](const EngineStream& es, Kernels& k, Types t, Dims d) {
       return tesvan_forward_typed(es, k, {kOut, t.first}, {kA, t.second}, {kB, t.third}, kBias,
                                   d);
     },
     {64, 512, 1}, "tesvan_forward_typed: mixed dtypes"},
    {"backward_dw_typed",
     [](const EngineStream& es, Kernels& k, Types t, Dims d) {
       return tesvan_backward_dw_typed(es, k, kDw, {kDy, t.first}, {kX, t.second}, d);
     },
     {32, 4, 1}, "tesvan_backward_dw_typed: mixed dtypes"},
    {"backward_dx_typed",
     [](const EngineStream& es, Kernels& k, Types t, Dims d) {
       return tesvan_backward_dx_typed(es, k, {kDx, t.first}, {kDy, t.second}, {kW, t.third}, d);
     },
     {5, 3, 1}, "tesvan_backward_dx_typed: mixed dtypes"},
    {"forward_tc",
     [](const EngineStream& es, Kernels& k, Types t, Dims d) {
       return tesvan_forward_tc(es, k, {kOut, t.first}, {kA, t.second}, {kB, t.third}, kBias, d);
     },
     {128, 64, 128}, "tesvan_forward_tc: mixed dtypes"},
    {"backward_dw_tc",
     [](const EngineStream& es, Kernels& k, Types t, Dims d) {
       return tesvan_backward_dw_tc(es, k, kDw, {kDy, t.first}, {kX, t.second}, d);
     },
     {128, 64, 128}, "tesvan_backward_dw_tc: mixed dtypes"},
    {"backward_dx_tc",
     [](const EngineStream& es, Kernels& k, Types t, Dims d) {
       return tesvan_backward_dx_tc(es, k, {kDx, t.first}, {kDy, t.second}, {kW, t.third}, d);
     },
     {128, 64, 128}, "tesvan_backward_dx_tc: mixed dtypes"},
};

bool takes_two(const Family& f) { return std::string(f.name).find("_dw_") != std::string::npos; }

class DtypeChecks : public DispatchTest {};

TEST_F(DtypeChecks, TypeErrorsComeFirstAndLaunchNothing) {
  // (types, expects the f32 message) ; for dW the third type is ignored.
  const struct {
    Types types;
    bool f32_message;
  } combos[] = {
      {{f32, f32, f32}, true},    {{f32, bf16, bf16}, true}, {{f32, f16, bf16}, true},
      {{bf16, f16, bf16}, false}, {{f16, f32, f16}, false},  {{bf16, bf16, f16}, false},
      {{f16, f16, f32}, false},
  };
  for (const Family& f : kFamilies) {
    for (const auto& c : combos) {
      if (takes_two(f) && !c.f32_message && c.types.second == c.types.first) continue;
      for (Dims d : {f.served, Dims{0, 0, 0}}) {
        SCOPED_TRACE(std::string(f.name) + " types " +
                     std::to_string(static_cast<int>(c.types.first)) +
                     std::to_string(static_cast<int>(c.types.second)) +
                     std::to_string(static_cast<int>(c.types.third)) + " M=" +
                     std::to_string(d.m));
        sim().tvnsim_launch_clear();
        const Status st = f.call(es(), table(), c.types, d);
        ASSERT_FALSE(st.ok());
        EXPECT_EQ(st.error().kind(), Error::Kind::DtypeMismatch);
        EXPECT_EQ(st.error().message(), c.f32_message ? kF32 : f.mixed);
        EXPECT_EQ(sim().tvnsim_launch_count(), 0u);
      }
    }
  }
}

TEST_F(DtypeChecks, AgreeingTypesReachTheShapeTests) {
  for (const Family& f : kFamilies) {
    for (DType t : {bf16, f16}) {
      SCOPED_TRACE(std::string(f.name) + (t == bf16 ? " bf16" : " f16"));
      sim().tvnsim_launch_clear();
      EXPECT_TRUE(f.call(es(), table(), {t, t, t}, f.served).ok());
      EXPECT_EQ(sim().tvnsim_launch_count(), 1u);
      const Status none = f.call(es(), table(), {t, t, t}, {0, 0, 0});
      ASSERT_FALSE(none.ok());
      EXPECT_EQ(none.error().kind(), Error::Kind::NoBucket);
    }
  }
}

}  // namespace
}  // namespace tesvan::test
