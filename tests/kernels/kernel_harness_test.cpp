// The harness's own guarantees, on which every kernel test relies: a write
// outside an array fails the launch that made it, and the bit comparison
// tells apart values that compare equal as floats.
#include <cmath>

#include "support/kernel_harness.h"

namespace tesvan::test {
namespace {

class KernelHarnessTest : public KernelTest {};

TEST_F(KernelHarnessTest, WriteIntoAGuardBandFailsTheRun) {
  // A 4 x 4 transpose into 15 elements: the last element lands just past
  // the array, inside its trailing guard band.
  DeviceArray s = upload(random_floats(16, 1));
  {
    DeviceArray d = filled(15, 0.0f);
    const testing::AssertionResult r =
        run("tesvan_transpose_f32_2d", {1, 1}, {32, 32}, 0, {d, s, 4, 4});
    ASSERT_FALSE(r);
    EXPECT_NE(std::string(r.message()).find("guard byte 1 after"), std::string::npos)
        << r.message();
  }
  // The same launch into a large enough array passes (the damaged array is
  // gone: every live array's guards are checked after each run).
  DeviceArray ok = filled(16, 0.0f);
  EXPECT_TRUE(run("tesvan_transpose_f32_2d", {1, 1}, {32, 32}, 0, {ok, s, 4, 4}));
}

TEST_F(KernelHarnessTest, UnknownKernelFailsTheRun) {
  EXPECT_FALSE(run("tesvan_no_such_kernel", {1}, {32}, 0, {}));
}

TEST(BitsEqual, ComparesBitPatternsAndNamesTheFirstDifference) {
  EXPECT_TRUE(bits_equal({1.0f, NAN}, {1.0f, NAN}));
  const testing::AssertionResult zero = bits_equal({0.0f, 1.0f, 2.0f}, {0.0f, 1.0f, -0.0f}, 2);
  ASSERT_FALSE(zero);
  EXPECT_NE(std::string(zero.message()).find("index 2 (row 1, column 0)"), std::string::npos)
      << zero.message();
  EXPECT_NE(std::string(zero.message()).find("0x80000000"), std::string::npos) << zero.message();
  EXPECT_FALSE(bits_equal({0.0f}, {-0.0f}));
  EXPECT_FALSE(bits_equal({1.0f}, {std::nextafter(1.0f, 2.0f)}));
  EXPECT_FALSE(bits_equal({1.0f}, {1.0f, 1.0f}));
  EXPECT_FALSE(bits_equal_u16({0x3F80}, {0x3F81}));
}

}  // namespace
}  // namespace tesvan::test
