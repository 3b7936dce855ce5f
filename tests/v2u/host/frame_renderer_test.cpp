#include "v2u/host/frame_renderer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "common/py_error.h"
#include "v2u/host/support/render_fixture.h"

namespace velmora::v2u {
namespace {

using testing::RENDER_DIR;
using testing::render_expect;
using testing::render_identity;

Renderer renderer(const char* motion = "motion.onnx", const char* lite = "lite.onnx",
                  std::shared_ptr<const Identity> idn = render_identity(), int threads = 1) {
  return Renderer(RENDER_DIR + motion, RENDER_DIR + lite, std::move(idn), threads);
}

NdArray ints(std::initializer_list<std::int64_t> v) { return NdArray::of<std::int64_t>(v); }

const float* keypoint(const NdArray& sets, std::int64_t entry, int k) {
  return sets.data<float>() + (entry * sets.dim(1) + k) * 3;
}

TEST(RendererTest, FramesMatchNumPyWithAndWithoutEyeEvents) {
  const NpzFile& z = render_expect();
  for (int threads : {1, 3}) {
    Renderer rd = renderer("motion.onnx", "lite.onnx", render_identity(), threads);
    EXPECT_EQ(rd.threads(), threads);  // the caller alone, or a pool of its own
    const struct {
      const char* name;
      NdArray sel, sL, sR;
      bool eyes;
    } blocks[] = {{"plain", ints({1, 2}), ints({0, 0}), ints({0, 0}), false},
                  {"eyes", ints({0, 2, 1}), ints({0, 3, 0}), ints({0, 0, 2}), true},
                  {"plain", ints({1, 2}), ints({0, 0}), ints({0, 0}), false}};  // again, on reused buffers
    for (const auto& b : blocks) {
      const std::string key = std::string("run_") + b.name;
      const Feeds f = rd.inputs(z.at(key + "_xd"), b.sel, b.sL, b.sR);
      EXPECT_EQ(f.eyes, b.eyes);
      const NdArray& xk = z.at(key + "_xk");
      ASSERT_EQ(f.xk.shape(), xk.shape());
      EXPECT_EQ(std::memcmp(f.xk.raw_data(), xk.raw_data(), xk.nbytes()), 0) << b.name;
      const NdArray frames = rd.run(f);
      ASSERT_EQ(frames.shape(), (Shape{b.sel.size(), 512, 512, 3}));
      ASSERT_EQ(frames.dtype(), DType::UInt8);
      // Frames 0 and 2 of the eye block have no event of their own, yet get the rest-level eye patches.
      testing::expect_sample<std::uint8_t>(frames, key, 1);
      for (std::int64_t i = 0; i < frames.dim(0); ++i)
        EXPECT_TRUE(testing::same_digest(frames.data<std::uint8_t>() + i * 512 * 512 * 3, 512 * 512 * 3, key, i))
            << key << " frame " << i << ", " << threads << " threads";
    }
  }
}

// The names of this process's threads.
std::vector<std::string> thread_names() {
  std::vector<std::string> names;
  for (const auto& t : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(t.path() / "comm");
    std::string name;
    std::getline(comm, name);
    names.push_back(name);
  }
  return names;
}

// The renderer's own work runs on the caller's thread for a budget of one and on a pool of exactly the budget
// otherwise, and rendering starts no further thread of any kind.
TEST(RendererTest, OwnWorkKeepsToTheThreadBudget) {
  const NpzFile& z = render_expect();
  for (int threads : {1, 3}) {
    Renderer rd = renderer("motion.onnx", "lite.onnx", render_identity(), threads);
    const auto ours = [] {
      const auto names = thread_names();
      return std::count_if(names.begin(), names.end(), [](const std::string& n) { return n.rfind("v2u-render_", 0) == 0; });
    };
    EXPECT_EQ(ours(), threads == 1 ? 0 : threads);
    const Feeds f = rd.inputs(z.at("run_eyes_xd"), ints({0, 2, 1}), ints({0, 3, 0}), ints({0, 0, 2}));
    const std::size_t before = thread_names().size();
    rd.run(f);
    EXPECT_EQ(thread_names().size(), before) << threads << " threads";
    EXPECT_EQ(ours(), threads == 1 ? 0 : threads);
  }
}

TEST(RendererTest, InputsSubstituteEyeKeypointsOnlyOnFramesWithAnEvent) {
  const Renderer rd = renderer();
  const RendererTensors& r = render_identity()->r;
  const NdArray xd(DType::Float64, {3, 21, 3});
  const Feeds f = rd.inputs(xd, ints({2, 0, 1}), ints({0, 3, 0}), ints({0, 0, 0}));
  EXPECT_TRUE(f.eyes);
  EXPECT_EQ(f.x_d.dtype(), DType::Float32);
  const std::int64_t sel[] = {2, 0, 1};
  for (std::int64_t i = 0; i < 3; ++i)
    for (int k = 0; k < 21; ++k) {
      // Frame 1: keypoints 11 and 13 from eye entry 3 (left), 15 and 16 from eye entry 0 (right).
      const float* want = i != 1 ? keypoint(r.b_x, sel[i], k)
                          : (k == 11 || k == 13) ? keypoint(r.e_x, 3, k)
                          : (k == 15 || k == 16) ? keypoint(r.e_x, 0, k)
                                                 : keypoint(r.b_x, sel[i], k);
      EXPECT_EQ(std::memcmp(keypoint(f.xk, i, k), want, 12), 0) << "frame " << i << " keypoint " << k;
    }
  const Feeds rest = rd.inputs(xd, ints({2, 0, 1}), ints({0, 0, 0}), ints({0, 0, 0}));
  EXPECT_FALSE(rest.eyes);
  EXPECT_EQ(std::memcmp(keypoint(rest.xk, 1, 11), keypoint(r.b_x, 0, 11), 12), 0);
  // The index arrays are kept as given.
  const NdArray s32 = NdArray::of<std::int32_t>({1, 1, 1});
  EXPECT_EQ(rd.inputs(xd, s32, s32, s32).sel.dtype(), DType::Int32);
}

TEST(RendererTest, RefusesIndicesOutsideTheBanksAndMismatchedLengths) {
  Renderer rd = renderer();
  const NdArray xd(DType::Float32, {2, 21, 3});
  const NdArray ok = ints({0, 1});
  using Call = std::function<void()>;
  const struct {
    const char* what;
    Call call;
    bool index_error;
  } cases[] = {
      {"negative bank index", [&] { rd.inputs(xd, ints({0, -1}), ok, ok); }, true},
      {"bank index past the end", [&] { rd.inputs(xd, ints({3, 0}), ok, ok); }, true},
      {"negative eye index", [&] { rd.inputs(xd, ok, ints({-1, 0}), ok); }, true},
      {"eye index past the end", [&] { rd.inputs(xd, ok, ok, ints({0, 4})); }, true},
      {"short left-eye indices", [&] { rd.inputs(xd, ok, ints({0}), ok); }, false},
      {"keypoints of another length", [&] { rd.inputs(NdArray(DType::Float32, {1, 21, 3}), ok, ok, ok); }, false},
      {"float indices", [&] { rd.inputs(xd, NdArray::of<double>({0, 1}), ok, ok); }, false},
      {"feeds with a short x_d", [&] { Feeds f = rd.inputs(xd, ok, ok, ok); f.x_d = NdArray(DType::Float32, {1, 21, 3}); rd.run(f); }, false},
      {"feeds with float64 keypoints", [&] { Feeds f = rd.inputs(xd, ok, ok, ok); f.xk = f.xk.astype(DType::Float64); rd.run(f); }, false},
      {"feeds with a bank index past the end", [&] { Feeds f = rd.inputs(xd, ok, ok, ok); f.sel = ints({0, 9}); rd.run(f); }, true},
      {"feeds with eyes past the end", [&] { Feeds f = rd.inputs(xd, ok, ok, ok); f.sR = ints({0, 9}); rd.run(f); }, true},
  };
  for (const auto& c : cases) {
    try {
      c.call();
      ADD_FAILURE() << c.what << ": no error";
    } catch (const std::out_of_range&) {
      EXPECT_TRUE(c.index_error) << c.what;
    } catch (const std::invalid_argument&) {
      EXPECT_FALSE(c.index_error) << c.what;
    }
  }
}

TEST(RendererTest, GraphOutputsOfTheWrongCountOrShapeFail) {
  const NpzFile& z = render_expect();
  const NdArray sel = ints({1, 2}), rest = ints({0, 0});
  Renderer four = renderer("motion_4out.onnx");
  try {
    four.run(four.inputs(z.at("run_plain_xd"), sel, rest, rest));
    ADD_FAILURE();
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "not enough values to unpack (expected 5, got 4)");
  }
  Renderer small = renderer("motion.onnx", "lite_badshape.onnx");
  EXPECT_THROW(small.run(small.inputs(z.at("run_plain_xd"), sel, rest, rest)), std::invalid_argument);
  // An empty block runs no graph at all.
  const NdArray none = ints({});
  const NdArray frames = four.run(four.inputs(NdArray(DType::Float32, {0, 21, 3}), none, none, none));
  EXPECT_EQ(frames.shape(), (Shape{0, 512, 512, 3}));
  EXPECT_EQ(frames.dtype(), DType::UInt8);
}

TEST(RendererTest, ConstructionChecksTheIdentityAndWidensItsRegions) {
  const Renderer rd = renderer();
  EXPECT_EQ(rd.roi_e().y0, static_cast<double>(150.1f));  // stored as float32
  EXPECT_EQ(rd.roi_m().x0, 128.25);
  auto eight = std::make_shared<Identity>(*render_identity());
  eight->planes = NdArray(DType::Float32, {1, 8, 4, 4});
  EXPECT_THROW(renderer("motion.onnx", "lite.onnx", eight), std::invalid_argument);
  auto roi = std::make_shared<Identity>(*render_identity());
  roi->roi_e = NdArray::of<float>({1, 2, 3});
  EXPECT_THROW(renderer("motion.onnx", "lite.onnx", roi), std::invalid_argument);
  auto patch = std::make_shared<Identity>(*render_identity());
  patch->r.e_rgb = NdArray(DType::Float32, {4, 4, 10, 12});
  EXPECT_THROW(renderer("motion.onnx", "lite.onnx", patch), std::invalid_argument);
  EXPECT_THROW(renderer("absent.onnx"), std::exception);
  // A bank region of no height fails the block as Python's division would, out of the compositing workers.
  auto flat = std::make_shared<Identity>(*render_identity());
  flat->roi_m = NdArray::of<float>({5, 5, 0, 100});
  Renderer fr = renderer("motion.onnx", "lite.onnx", flat);
  const NdArray sel = ints({1, 2}), rest = ints({0, 0});
  try {
    fr.run(fr.inputs(render_expect().at("run_plain_xd"), sel, rest, rest));
    ADD_FAILURE();
  } catch (const PyError& e) {
    EXPECT_EQ(e.python_class(), "ZeroDivisionError");
  }
}

}  // namespace
}  // namespace velmora::v2u
