// open() then render() of mirel-2 avatars through the real render host, on the LiteRT stand-in.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "standins/litert/standin_models.h"
#include "support/bundle_fixture.h"
#include "velmora/open.hpp"
#include "velmora/outside/bundled_host.h"

namespace velmora {
namespace {

using testing::BundleFixture;
using testing::TempDir;

BundleFixture mirel2_bundle() {
  // A canon latent that is not all zeros, so the frames carry something of it.
  std::vector<float> canon(16 * 90 * 52);
  for (std::size_t i = 0; i < canon.size(); ++i) canon[i] = static_cast<float>(i % 97) / 97.0f - 0.5f;
  std::string canon_bytes(canon.size() * 4, '\0');
  std::memcpy(canon_bytes.data(), canon.data(), canon_bytes.size());
  return BundleFixture{{"manifest.json", R"({"engine": "mirel2"})"},
                       {"canon.bin", canon_bytes},
                       {"combined_litert.tflite", testing::standin::model_json(testing::standin::combined_signatures())}};
}

std::vector<std::int16_t> tone(double seconds) {
  std::vector<std::int16_t> s(static_cast<std::size_t>(seconds * 16000));
  for (std::size_t i = 0; i < s.size(); ++i) {
    s[i] = static_cast<std::int16_t>(8000 * std::sin(2 * M_PI * 220.0 * static_cast<double>(i) / 16000.0));
  }
  return s;
}

TEST(RealHost, TheHostIsFoundBesideTheProgram) {
  EXPECT_EQ(detail::bundled_host(), std::string(VELMORA_BIN_DIR) + "/tarnhost");
}

TEST(RealHost, DirectoryAndZipBundlesRenderTheFramesTheirAudioImplies) {
  TempDir dir;
  const auto forms = mirel2_bundle().write_forms(dir.path());
  const auto audio = tone(3.0);
  std::vector<std::vector<std::byte>> firsts;
  for (const std::string& bundle : {forms.directory, forms.zip}) {
    Avatar avatar = open(bundle);
    EXPECT_EQ(avatar.engine_id(), "mirel2");
    std::vector<std::int64_t> indices;
    FrameStream stream = avatar.render(AudioInput::samples(std::span<const std::int16_t>(audio)));
    while (auto f = stream.next()) {
      ASSERT_EQ((f->shape), (std::array<std::size_t, 3>{720, 416, 3}));
      if (indices.empty()) firsts.emplace_back(f->data.get(), f->data.get() + f->bytes);
      indices.push_back(f->index);
    }
    ASSERT_EQ(indices.size(), 61u) << bundle;  // 60 frame slots, the first frame twice
    EXPECT_EQ(indices.front(), 3);
    EXPECT_EQ(indices.back(), 63);
    EXPECT_EQ(avatar.render_stats()->frames, 61);
    avatar.close();
  }
  ASSERT_EQ(firsts.size(), 2u);
  EXPECT_EQ(firsts[0], firsts[1]);  // the same avatar in either form
}

}  // namespace
}  // namespace velmora
