// open() then render() of mirel-2 avatars through the real render host, on the LiteRT stand-in.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "velmora/outside/support/standin_avatars.h"
#include "velmora/open.hpp"
#include "velmora/outside/bundled_host.h"

namespace velmora {
namespace {

using testing::TempDir;
using testing::mirel2_bundle;
using testing::tone;

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
