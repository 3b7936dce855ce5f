#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <vector>

#include "mirel2/ostrand/dec_inputs.h"
#include "mirel2/ostrand/support/chain_reference.h"

namespace velmora::ostrand {
namespace {

using testing::chain_reference;
using testing::float_digest;
using testing::reference_latent;

struct Latents {
  explicit Latents(int count) {
    for (int j = 0; j < count; ++j) store.push_back(reference_latent(j));
    for (const auto& l : store) views.emplace_back(l);
  }
  std::vector<std::vector<float>> store;
  std::vector<LatentView> views;
};

TEST(DecInputs, EqualTheNumPyReference) {
  const std::vector<float> prev = reference_latent(testing::REFERENCE_PREV);
  ReusableBuffer<float> reused;
  for (const auto& c : chain_reference()["dec_inputs"]) {
    const int count = c["latents"], blk = c["blk"];
    const bool with_prev = c["prev"];
    SCOPED_TRACE(::testing::Message() << count << " latents, block " << blk << (with_prev ? ", previous" : ""));
    const Latents lats(count);
    const std::optional<LatentView> p = with_prev ? std::optional<LatentView>(prev) : std::nullopt;

    const auto [xs, n] = build_dec_inputs(lats.views, blk, p);
    EXPECT_EQ(n, c["n"].get<int>());
    EXPECT_EQ(xs.size(), static_cast<std::size_t>(n) * DEC_ROW_VALUES);
    EXPECT_EQ(float_digest(xs), c["sha256"].get<std::string>());

    // The reused buffer holds the same rows whatever an earlier, larger call left in it.
    EXPECT_EQ(build_dec_inputs(lats.views, blk, p, reused), n);
    EXPECT_EQ(float_digest(reused.span()), c["sha256"].get<std::string>());
  }
}

TEST(DecInputs, SteadyChunksReuseTheBuffer) {
  const Latents lats(8);
  const std::vector<float> prev = reference_latent(testing::REFERENCE_PREV);
  ReusableBuffer<float> xs;
  EXPECT_EQ(build_dec_inputs(lats.views, 8, prev, xs), 32);
  const float* storage = xs.span().data();
  EXPECT_EQ(build_dec_inputs(lats.views, 6, std::nullopt, xs), 21);
  EXPECT_EQ(build_dec_inputs(lats.views, 8, prev, xs), 32);
  EXPECT_EQ(xs.span().data(), storage);
  EXPECT_EQ(xs.capacity(), 32 * DEC_ROW_VALUES);
}

TEST(DecInputs, ShortOrMisSizedLatentsAreRefusedBeforeWriting) {
  const Latents lats(3);
  ReusableBuffer<float> xs;
  ASSERT_EQ(build_dec_inputs(lats.views, 1, std::nullopt, xs), 1);
  const std::string before = float_digest(xs.span());

  EXPECT_THROW(build_dec_inputs(lats.views, 4, std::nullopt, xs), std::out_of_range);
  const std::vector<float> small(CANON_SIZE - 1);
  EXPECT_THROW(build_dec_inputs(lats.views, 2, LatentView(small), xs), std::invalid_argument);
  std::vector<LatentView> bad = lats.views;
  bad[1] = LatentView(small);
  EXPECT_THROW(build_dec_inputs(bad, 2, std::nullopt, xs), std::invalid_argument);
  EXPECT_EQ(xs.size(), DEC_ROW_VALUES);
  EXPECT_EQ(float_digest(xs.span()), before);
  // A latent past the block is never read.
  EXPECT_EQ(build_dec_inputs(bad, 1, std::nullopt, xs), 1);
}

}  // namespace
}  // namespace velmora::ostrand
