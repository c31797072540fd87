// Split reductions and their helpers against references: the split-M
// weight-gradient partial (per-chunk chains, a short last chunk, a chunk
// past the end writing nothing) and its double-precision reduce; the thin-M
// split-K partial and the slim split-K partial with the split-K reduce
// (ascending chunks, tail fold, alpha, bias, output stride); the column
// GEMV; the transpose.
#include <cmath>

#include "f32_common.h"

namespace tesvan::test {
namespace {

class F32Split : public F32KernelTest {};

// Slab s of a [slabs, rows * cols] scratch.
std::vector<float> slab(const std::vector<float>& scratch, size_t slab_elems, int s) {
  return std::vector<float>(scratch.begin() + static_cast<std::ptrdiff_t>(s * slab_elems),
                            scratch.begin() + static_cast<std::ptrdiff_t>((s + 1) * slab_elems));
}

TEST_F(F32Split, SplitMPartialSumsEachChunkAndReduceRoundsOnce) {
  struct Case {
    const char* what;
    int M_red, K_out, N, M_CHUNK;
    float alpha;
  };
  const Case cases[] = {
      {"odd widths, short last chunk", 70, 130, 37, 32, 0.5f},
      {"aligned widths, chunk of one slice", 40, 64, 132, 16, 1.0f},
      {"one chunk", 20, 9, 7, 32, 1.0f},
  };
  uint32_t seed = 1200;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const WeightGrad p = WeightGrad::make(c.M_red, c.K_out, c.N, seed += 10);
    const int F = cdiv(c.M_red, c.M_CHUNK);
    const size_t slab_elems = static_cast<size_t>(c.K_out) * c.N;
    // One block row more than there are chunks: that chunk starts past
    // M_red and must leave its slab alone.
    DeviceArray scratch = filled((F + 1) * slab_elems, NAN);
    DeviceArray X = upload(p.X), dY = upload(p.dY), dW = upload(p.dW0);
    const Grid grid{tile_count(kBig, c.K_out, c.N), 1, static_cast<unsigned>(F + 1)};
    ASSERT_TRUE(run("tesvan_tn_splitm_partial", grid, {256}, 0,
                    {scratch, X, dY, c.M_red, c.K_out, c.N, c.M_CHUNK}));
    const std::vector<float> got = scratch.download_f32();
    std::vector<float> partials;
    for (int f = 0; f < F; ++f) {
      SCOPED_TRACE(testing::Message() << "chunk " << f);
      const int m_end = std::min(c.M_red, (f + 1) * c.M_CHUNK);
      const std::vector<float> chunk = p.chains(f * c.M_CHUNK, m_end, 16);
      EXPECT_TRUE(bits_equal(chunk, slab(got, slab_elems, f), c.N));
      partials.insert(partials.end(), chunk.begin(), chunk.end());
    }
    EXPECT_TRUE(bits_equal(std::vector<float>(slab_elems, NAN), slab(got, slab_elems, F)));

    std::vector<float> expected = p.dW0;
    ref::splitm_reduce(expected, partials, c.alpha, F);
    ASSERT_TRUE(run("tesvan_splitm_reduce", {cdiv(slab_elems, 256)},
                    {256}, 0, {dW, scratch, c.alpha, c.K_out, c.N, F}));
    EXPECT_TRUE(bits_equal(expected, dW.download_f32(), c.N));
  }
}

TEST_F(F32Split, SplitK32PartialAndReduceWithTail) {
  struct Case {
    const char* what;
    int M, N, K_CHUNKS, tail;
  };
  const Case cases[] = {
      {"partial tiles, tail of 4", 45, 100, 3, 4},
      {"one row past a tile, tail of 31", 33, 68, 2, 31},
      {"one chunk, no tail", 7, 4, 1, 0},
      {"ten tile rows: two swizzle groups", 289, 128, 1, 2},
  };
  uint32_t seed = 1300;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const int K = 32 * c.K_CHUNKS + c.tail, lda = K, M = c.M, N = c.N;
    const std::vector<float> A = random_floats(static_cast<size_t>(M) * lda, seed += 10);
    const std::vector<float> B = random_floats(static_cast<size_t>(K) * N, seed + 1);
    const std::vector<float> bias = random_floats(N, seed + 2);
    const size_t slab_elems = static_cast<size_t>(M) * N;
    DeviceArray scratch = filled(c.K_CHUNKS * slab_elems, NAN);
    DeviceArray a = upload(A), b = upload(B), bs = upload(bias), C = filled(slab_elems, NAN);
    const unsigned blocks = c.K_CHUNKS * cdiv(M, 32) * cdiv(N, 64);
    ASSERT_TRUE(run("tesvan_nn_splitk32_partial", {blocks}, {128}, 0,
                    {scratch, a, b, M, N, c.K_CHUNKS, lda}));
    const std::vector<float> got = scratch.download_f32();
    std::vector<float> partials;
    for (int k = 0; k < c.K_CHUNKS; ++k) {
      SCOPED_TRACE(testing::Message() << "chunk " << k);
      const std::vector<float> chunk =
          ref::fma_chains({A.data(), lda, false}, {B.data(), N, true}, M, N, 32 * k, 32 * k + 32,
                          nullptr, 32);
      EXPECT_TRUE(bits_equal(chunk, slab(got, slab_elems, k), N));
      partials.insert(partials.end(), chunk.begin(), chunk.end());
    }

    const int k_main = 32 * c.K_CHUNKS;
    std::vector<float> expected(slab_elems, NAN);
    ref::splitk_reduce(expected, 0, partials, bias.data(), A.data() + k_main, lda,
                       B.data() + static_cast<size_t>(k_main) * N, 1.0f, M, N, c.K_CHUNKS, c.tail);
    ASSERT_TRUE(run("tesvan_splitk_reduce", {cdiv(M * N, 256)}, {256},
                    0,
                    {C, scratch, bs, a.at(k_main), b.at(static_cast<size_t>(k_main) * N), 1.0f, M, N,
                     c.K_CHUNKS, lda, 0, c.tail}));
    EXPECT_TRUE(bits_equal(expected, C.download_f32(), N));
  }
}

TEST_F(F32Split, ReduceHonoursStrideScaleAndMissingTail) {
  const int M = 6, N = 10, chunks = 4, stride = 13;
  const std::vector<float> partial = random_floats(static_cast<size_t>(chunks) * M * N, 1400);
  const std::vector<float> bias = random_floats(N, 1401), tail = random_floats(M * N, 1402);
  DeviceArray p = upload(partial), bs = upload(bias), t = upload(tail);
  // A wider output row: only the first N columns are written.  A tail count
  // with a null tail pointer folds nothing.
  {
    std::vector<float> expected(static_cast<size_t>(M) * stride, NAN);
    ref::splitk_reduce(expected, stride, partial, bias.data(), nullptr, 0, tail.data(), 1.5f, M, N,
                       chunks, 3);
    DeviceArray C = filled(expected.size(), NAN);
    ASSERT_TRUE(run("tesvan_splitk_reduce", {1}, {256}, 0,
                    {C, p, bs, nullptr, t, 1.5f, M, N, chunks, N, stride, 3}));
    EXPECT_TRUE(bits_equal(expected, C.download_f32(), stride));
  }
  // One chunk, no bias, no tail: alpha * partial.
  {
    std::vector<float> expected(static_cast<size_t>(M) * N, NAN);
    ref::splitk_reduce(expected, 0, partial, nullptr, nullptr, 0, nullptr, 0.25f, M, N, 1, 0);
    DeviceArray C = filled(expected.size(), NAN);
    ASSERT_TRUE(run("tesvan_splitk_reduce", {1}, {256}, 0,
                    {C, p, nullptr, nullptr, nullptr, 0.25f, M, N, 1, 0, 0, 0}));
    EXPECT_TRUE(bits_equal(expected, C.download_f32(), N));
  }
}

TEST_F(F32Split, SlimSplitKPartialSumsEachChunk) {
  // Chunks of 64 over K = 96: the second is shorter than nominal, and a
  // third block row starts past K and writes nothing.
  const int M = 130, N = 70, K = 96, lda = 99, ldb = 72, K_chunk = 64, F = 2;
  const std::vector<float> A = random_floats(static_cast<size_t>(M) * lda, 1500);
  const std::vector<float> B = random_floats(static_cast<size_t>(K) * ldb, 1501);
  const size_t slab_elems = static_cast<size_t>(M) * N;
  DeviceArray scratch = filled((F + 1) * slab_elems, NAN), a = upload(A), b = upload(B);
  const Grid grid{tile_count(kSlim, M, N), 1, F + 1};
  ASSERT_TRUE(run("tesvan_nn_splitk_slim_partial", grid, {128}, 0,
                  {scratch, a, b, M, N, K, lda, ldb, K_chunk}));
  const std::vector<float> got = scratch.download_f32();
  for (int f = 0; f < F; ++f) {
    SCOPED_TRACE(testing::Message() << "chunk " << f);
    EXPECT_TRUE(bits_equal(ref::fma_chains({A.data(), lda, false}, {B.data(), ldb, true}, M, N,
                                           f * K_chunk, std::min(K, (f + 1) * K_chunk), nullptr, 32),
                           slab(got, slab_elems, f), N));
  }
  EXPECT_TRUE(bits_equal(std::vector<float>(slab_elems, NAN), slab(got, slab_elems, F)));
}

TEST_F(F32Split, ColumnGemvFillsOneColumn) {
  struct Case {
    int M, N, col, stride;
  };
  for (const Case& c : {Case{130, 37, 5, 9}, Case{3, 1, 0, 1}}) {
    SCOPED_TRACE(testing::Message() << "M " << c.M << " N " << c.N);
    const std::vector<float> dY = random_floats(static_cast<size_t>(c.M) * c.N, 1600 + c.N);
    const std::vector<float> w = random_floats(c.N, 1700 + c.N);
    std::vector<float> expected(static_cast<size_t>(c.M) * c.stride, NAN);
    ref::dx_col_gemv(expected, c.stride, c.col, dY.data(), w.data(), c.M, c.N);
    DeviceArray dX = filled(expected.size(), NAN), dy = upload(dY), wr = upload(w);
    ASSERT_TRUE(run("tesvan_dx_col_gemv", {cdiv(c.M, 128)}, {128}, 0,
                    {dX, dy, wr, c.M, c.N, c.col, c.stride}));
    EXPECT_TRUE(bits_equal(expected, dX.download_f32(), c.stride));
  }
}

TEST_F(F32Split, TransposeWritesOnlyTheTransposedMatrix) {
  struct Case {
    int rows, cols;
  };
  for (const Case& c : {Case{33, 1}, Case{70, 45}, Case{1, 33}}) {
    SCOPED_TRACE(testing::Message() << c.rows << " x " << c.cols);
    const std::vector<float> src = random_floats(static_cast<size_t>(c.rows) * c.cols, 1800);
    DeviceArray s = upload(src), d = filled(src.size(), NAN);
    const Grid grid{cdiv(c.cols, 32),
                    cdiv(c.rows, 32)};
    ASSERT_TRUE(run("tesvan_transpose_f32_2d", grid, {32, 32}, 0, {d, s, c.rows, c.cols}));
    EXPECT_TRUE(bits_equal(ref::transpose(src, c.rows, c.cols), d.download_f32(), c.rows));
  }
}

}  // namespace
}  // namespace tesvan::test
