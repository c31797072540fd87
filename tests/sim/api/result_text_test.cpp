// Result names and descriptions: what every engine error message is made of.
#include <cstring>

#include "sim/api/driver_fixture.h"

namespace tvnsim_test {
namespace {

TEST(ResultText, EveryEnumeratorHasANameAndADescription) {
  const tesvan::cu::CudaApi& cu = *tesvan::cu::cuda().value();
  for (CUresult code : {
#define X(value, name) value,
#include "cu_result_names.inc"
#undef X
       }) {
    const char* name = nullptr;
    const char* text = nullptr;
    EXPECT_EQ(cu.cuGetErrorName(code, &name), rc::CUDA_SUCCESS) << code;
    EXPECT_EQ(tesvan::cu::cu_result_name(code), name ? name : "");
    ASSERT_EQ(cu.cuGetErrorString(code, &text), rc::CUDA_SUCCESS) << code;
    EXPECT_NE(text, nullptr);
  }
}

TEST(ResultText, DescriptionsAreTheDriversTexts) {
  auto api = tesvan::cu::cuda();
  ASSERT_TRUE(api.ok());
  const struct {
    CUresult code;
    const char* text;
  } expected[] = {
      {rc::CUDA_SUCCESS, "no error"},
      {rc::CUDA_ERROR_INVALID_VALUE, "invalid argument"},
      {rc::CUDA_ERROR_OUT_OF_MEMORY, "out of memory"},
      {rc::CUDA_ERROR_NOT_INITIALIZED, "initialization error"},
      {rc::CUDA_ERROR_INVALID_DEVICE, "invalid device ordinal"},
      {rc::CUDA_ERROR_INVALID_CONTEXT, "invalid device context"},
      {rc::CUDA_ERROR_INVALID_PTX, "a PTX JIT compilation failed"},
      {rc::CUDA_ERROR_UNSUPPORTED_PTX_VERSION,
       "the provided PTX was compiled with an unsupported toolchain."},
      {rc::CUDA_ERROR_INVALID_HANDLE, "invalid resource handle"},
      {rc::CUDA_ERROR_NOT_FOUND, "named symbol not found"},
      {rc::CUDA_ERROR_ILLEGAL_ADDRESS, "an illegal memory access was encountered"},
      {rc::CUDA_ERROR_MISALIGNED_ADDRESS, "misaligned address"},
      {rc::CUDA_ERROR_ASSERT, "device-side assert triggered"},
      {rc::CUDA_ERROR_ILLEGAL_INSTRUCTION, "an illegal instruction was encountered"},
      {rc::CUDA_ERROR_LAUNCH_FAILED, "unspecified launch failure"},
      {rc::CUDA_ERROR_NOT_SUPPORTED, "operation not supported"},
  };
  for (const auto& e : expected) {
    const char* text = nullptr;
    ASSERT_EQ(api.value()->cuGetErrorString(e.code, &text), rc::CUDA_SUCCESS);
    EXPECT_STREQ(text, e.text) << "code " << e.code;
  }
}

TEST(ResultText, UnknownCodeIsRefusedWithNull) {
  auto api = tesvan::cu::cuda();
  ASSERT_TRUE(api.ok());
  for (CUresult unknown : {9, 203, 601, 100000, -1}) {
    const char* text = "unchanged";
    EXPECT_EQ(api.value()->cuGetErrorString(unknown, &text), rc::CUDA_ERROR_INVALID_VALUE);
    EXPECT_EQ(text, nullptr);
    const char* name = "unchanged";
    EXPECT_EQ(api.value()->cuGetErrorName(unknown, &name), rc::CUDA_ERROR_INVALID_VALUE);
    EXPECT_EQ(name, nullptr);
  }
}

TEST(ResultText, AvailableBeforeInitialisation) {
  REQUIRE_SIM();
  sim().tvnsim_reset();
  auto api = tesvan::cu::cuda();
  const char* text = nullptr;
  EXPECT_EQ(api.value()->cuGetErrorString(rc::CUDA_ERROR_OUT_OF_MEMORY, &text), rc::CUDA_SUCCESS);
  EXPECT_STREQ(text, "out of memory");
  EXPECT_EQ(tesvan::cu::driver_error(rc::CUDA_ERROR_INVALID_HANDLE),
            "DriverError(CUDA_ERROR_INVALID_HANDLE, \"invalid resource handle\")");
}

}  // namespace
}  // namespace tvnsim_test
