// The streaming renderer in-process, on the LiteRT stand-in (decoders that compute nothing, so the schedule and
// the bookkeeping are what is tested; the frame bytes are checked end to end in render_stream_test.cpp).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "mirel2/ostrand/constants.h"
#include "mirel2/ostrand/litert_chain.h"
#include "mirel2/ostrand/renderer.h"
#include "mirel2/ostrand/support/chain_reference.h"
#include "mirel2/ostrand/support/render_stream.h"
#include "support/temp_dir.h"
#include "standins/litert/standin_models.h"
#include "support/error_text.h"

namespace velmora::ostrand {
namespace {

namespace standin = velmora::testing::standin;
using velmora::testing::error_of;
using velmora::testing::ScopedEnv;
using velmora::testing::TempDir;

// What the sink received: one entry per call, the pairs' indices and frame addresses.
struct Delivered {
  std::vector<std::vector<std::int32_t>> indices;
  std::vector<std::vector<const std::uint8_t*>> frames;
  bool sizes_ok = true;

  FrameSink sink() {
    return [this](std::span<const FramePair> pairs) {
      indices.emplace_back();
      frames.emplace_back();
      for (const auto& p : pairs) {
        indices.back().push_back(p.index);
        frames.back().push_back(p.rgb.data());
        sizes_ok = sizes_ok && p.rgb.size() == FRAME_BYTES;
      }
    };
  }
  std::vector<std::int32_t> all() const {
    std::vector<std::int32_t> out;
    for (const auto& c : indices) out.insert(out.end(), c.begin(), c.end());
    return out;
  }
  void clear() { *this = Delivered(); }
};

std::vector<std::int32_t> range(std::int32_t first, std::int32_t last) {
  std::vector<std::int32_t> out;
  for (std::int32_t i = first; i <= last; ++i) out.push_back(i);
  return out;
}

class RendererTest : public ::testing::Test {
 protected:
  LitertChain make_chain(const std::string& dec_kernel = "noop") {
    const std::string path =
        standin::write_model((dir_.path() / (dec_kernel + ".json")).string(), standin::combined_signatures(dec_kernel));
    return LitertChain({path}, testing::reference_canon(), 1);
  }
  // The next `n` samples of the test audio.
  void feed(Renderer& r, std::int64_t n) {
    std::vector<float> pcm(static_cast<std::size_t>(n));
    for (auto& v : pcm) v = testing::test_audio(sent_++);
    r.feed(pcm);
  }

  TempDir dir_;
  std::int64_t sent_ = 0;
  ScopedEnv rgb_env_{"MIREL2_RGB_THREADS", "2"};
};

TEST_F(RendererTest, ChunksAreDueAt25600Then44000ThenEvery25600) {
  LitertChain chain = make_chain();
  Renderer r(chain, nullptr);
  Delivered got;
  EXPECT_FALSE(r.rtf());

  struct Case {
    std::int64_t feed;  // samples fed before ready_chunks
    std::vector<std::int32_t> indices;
    std::int64_t base_after;
  };
  const Case cases[] = {
      {25'599, {}, 0},
      {1, range(3, 24), 0},  // chunk 0: nothing dropped, since chunk 1 starts at 0 too
      {18'399, {}, 0},
      {1, range(25, 56), 25'600},  // 44,000
      {25'599, {}, 25'600},
      {1, range(57, 88), 51'200},  // 69,600
      {0, {}, 51'200},
      {25'600, range(89, 120), 76'800},  // 95,200
  };
  for (const auto& c : cases) {
    got.clear();
    feed(r, c.feed);
    r.ready_chunks(got.sink());
    SCOPED_TRACE("fed " + std::to_string(r.fed_samples()));
    EXPECT_EQ(got.all(), c.indices);
    EXPECT_LE(got.indices.size(), 1u);
    EXPECT_TRUE(got.sizes_ok);
    EXPECT_EQ(r.buf_base(), c.base_after);
    EXPECT_LT(r.live_samples(), WIN_SAMPLES);
  }
  EXPECT_EQ(r.chunk_index(), 4);
  EXPECT_EQ(r.next_frame_index(), 121);
  EXPECT_EQ(r.chunks_rendered(), 4);
  ASSERT_TRUE(r.rtf());
  EXPECT_DOUBLE_EQ(*r.rtf(), r.render_seconds() / 4 / 1.6);

  for (const auto& [ci, need] : std::vector<std::pair<int, std::int64_t>>{
           {0, 25'600}, {1, 44'000}, {2, 69'600}, {3, 95'200}, {10, 274'400}})
    EXPECT_EQ(Renderer::need(ci), need) << ci;
}

TEST_F(RendererTest, FirstFrameTwiceAndOneFeedGoesOutChunkByChunkThroughOneBuffer) {
  LitertChain chain = make_chain();
  Renderer r(chain, nullptr);
  Delivered got;
  feed(r, 44'000);
  r.ready_chunks(got.sink());
  ASSERT_EQ(got.indices.size(), 2u);  // chunks 0 and 1, one call each
  EXPECT_EQ(got.indices[0], range(3, 24));
  EXPECT_EQ(got.indices[1], range(25, 56));
  EXPECT_EQ(got.frames[0][0], got.frames[0][1]) << "indices 3 and 4 show the same frame";
  EXPECT_NE(got.frames[0][1], got.frames[0][2]);
  EXPECT_EQ(r.buf_base(), 25'600);

  // Ten more chunks in one feed: ten calls of 32 frames, all in the buffer the steady chunks share.
  got.clear();
  feed(r, 10 * SPC);
  r.ready_chunks(got.sink());
  ASSERT_EQ(got.indices.size(), 10u);
  EXPECT_EQ(got.all(), range(57, 376));
  for (const auto& chunk : got.frames) {
    ASSERT_EQ(chunk.size(), 32u);
    EXPECT_EQ(chunk.front(), got.frames[0].front());
    EXPECT_EQ(chunk.back() - chunk.front(), static_cast<std::ptrdiff_t>(31 * FRAME_BYTES));
  }
  EXPECT_LT(r.live_samples(), WIN_SAMPLES);
}

TEST_F(RendererTest, WindowsHoldOnlyTheirOwnAudio) {
  LitertChain chain = make_chain();
  Renderer r(chain, nullptr);
  feed(r, 44'000);
  std::vector<float> w(WIN_SAMPLES);
  // Chunk 0 reads 25,600 samples at most, however much has arrived.
  r.window(0, w);
  for (std::int64_t i = 0; i < WIN_SAMPLES; ++i)
    ASSERT_EQ(w[static_cast<std::size_t>(i)], i < SPC ? testing::test_audio(i) : 0.0f) << i;
  r.window(1, w);
  for (std::int64_t i = 0; i < WIN_SAMPLES; ++i) ASSERT_EQ(w[static_cast<std::size_t>(i)], testing::test_audio(i)) << i;
  // A window past the fed audio is silence from where the audio ends.
  r.window(2, w);
  for (std::int64_t i = 0; i < WIN_SAMPLES; ++i)
    ASSERT_EQ(w[static_cast<std::size_t>(i)], i < 18'400 ? testing::test_audio(SPC + i) : 0.0f) << i;

  feed(r, 30'000);
  r.ready_chunks({});  // chunks 0-2; the store now starts at 51,200
  EXPECT_EQ(error_of([&] { r.window(1, w); }), "consumed audio context requested");
  r.window(9, w);  // nothing fed there: zeros, no check
  EXPECT_TRUE(std::all_of(w.begin(), w.end(), [](float v) { return v == 0.0f; }));
}

TEST_F(RendererTest, FlushRendersTheOwedChunks) {
  LitertChain chain = make_chain();
  Renderer r(chain, nullptr);
  struct Case {
    std::int64_t fed;
    std::int32_t last;  // highest index after the flush
  };
  for (const auto& c : {Case{0, 24}, Case{16'000, 24}, Case{25'600, 56}, Case{44'000, 88}, Case{100'000, 152}}) {
    SCOPED_TRACE(c.fed);
    r.reset();
    Delivered got;
    feed(r, c.fed);
    r.ready_chunks(got.sink());
    r.flush_chunks(got.sink());
    EXPECT_EQ(got.all(), range(3, c.last));
    got.clear();
    r.flush_chunks(got.sink());
    EXPECT_TRUE(got.indices.empty()) << "a second flush owes nothing";
  }

  // 30,000 samples with chunk 0 rendered: the flush renders chunk 1 from them and 14,000 zeros.
  r.reset();
  const std::int64_t start = sent_;
  feed(r, 30'000);
  r.ready_chunks({});
  std::vector<float> w(WIN_SAMPLES);
  r.window(1, w);
  for (std::int64_t i : {0, 25'600, 29'999}) EXPECT_EQ(w[static_cast<std::size_t>(i)], testing::test_audio(start + i));
  EXPECT_TRUE(std::all_of(w.begin() + 30'000, w.end(), [](float v) { return v == 0.0f; }));
  Delivered got;
  r.flush_chunks(got.sink());
  EXPECT_EQ(got.all(), range(25, 56));
  // The stream goes on after a flush: chunk 2 is due at 69,600.
  got.clear();
  feed(r, 39'600);
  r.ready_chunks(got.sink());
  EXPECT_EQ(got.all(), range(57, 88));
}

TEST_F(RendererTest, ResetStartsANewStream) {
  LitertChain chain = make_chain();
  ScopedEnv env("MIREL2_RGB_THREADS", "5");
  Renderer r(chain, nullptr);
  EXPECT_EQ(r.rgb_threads(), 5);
  feed(r, 50'000);
  r.ready_chunks({});
  r.reset();
  EXPECT_EQ(r.chunk_index(), 0);
  EXPECT_EQ(r.next_frame_index(), 3);
  EXPECT_EQ(r.fed_samples(), 0);
  EXPECT_EQ(r.buf_base(), 0);
  EXPECT_EQ(r.chunks_rendered(), 0);
  EXPECT_EQ(r.render_seconds(), 0.0);
  EXPECT_FALSE(r.rtf());
  Delivered got;
  feed(r, SPC);
  r.ready_chunks(got.sink());
  EXPECT_EQ(got.all(), range(3, 24)) << "a 21-frame chunk 0 again";
}

TEST_F(RendererTest, AFailedChunkIsNotCounted) {
  LitertChain chain = make_chain("fail_invoke");
  Renderer r(chain, nullptr);
  Delivered got;
  feed(r, SPC);
  EXPECT_THAT(error_of([&] { r.ready_chunks(got.sink()); }), ::testing::HasSubstr("fail_invoke"));
  EXPECT_TRUE(got.indices.empty());
  EXPECT_EQ(r.chunk_index(), 0);
  EXPECT_EQ(r.next_frame_index(), 3);
  EXPECT_EQ(r.chunks_rendered(), 0);
  EXPECT_FALSE(r.rtf());
}

TEST_F(RendererTest, KeepsItsColourCorrection) {
  LitertChain chain = make_chain();
  auto cc = std::make_shared<const ColorCorrect>(ColorCorrect{
      .kind = "gain_bias", .lut = {}, .gain = ChannelValues{1, 1, 1}, .bias = ChannelValues{0, 0, 0}, .source = ""});
  Renderer with(chain, cc), without(chain, nullptr);
  EXPECT_EQ(with.cc(), cc.get());
  ASSERT_TRUE(with.color());
  EXPECT_EQ(with.color()->sha256, color_descriptor(cc.get())->sha256);
  EXPECT_FALSE(without.color());
}

}  // namespace
}  // namespace velmora::ostrand
