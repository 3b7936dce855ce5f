#include "v2u/host/detector.h"

#include <gtest/gtest.h>

#include <string>

#include "v2u/host/support/motion_fixture.h"

namespace velmora::v2u {
namespace {

using namespace motion_fixture;

// Runs `steps` tokens and compares each with the reference `name`.
void expect_reference(DetS& d, const std::string& name, std::int64_t steps) {
  const NdArray motion = ref().at("det_" + name + "_motion"), h = ref().at("det_" + name + "_h");
  for (std::int64_t k = 0; k < steps; ++k) {
    SCOPED_TRACE("token " + std::to_string(k));
    const DetStep s = d.step(token_feat(k));
    expect_same(s.motion, motion.item(k));
    expect_same(s.h, h.item(k));
  }
}

std::vector<std::vector<double>> rows_of(const NdArray& a) {
  std::vector<std::vector<double>> rows;
  for (std::int64_t i = 0; i < a.dim(0); ++i) {
    const auto v = a.item(i).values<double>();
    rows.emplace_back(v.begin(), v.end());
  }
  return rows;
}

// The fixture detector's hidden output ends with its valid and tokv inputs (3 slots each) and the 126
// identity values.
std::vector<float> flags(const NdArray& h) {
  const auto v = h.values<float>();
  return {v.end() - 132, v.end() - 126};
}

TEST(DetSTest, WindowFillsAndSlidesAsNumPyGives) {
  DetS d(pack("main"), ref().at("det_main_idv"));
  expect_reference(d, "main", 8);
  // The window's flags through the first steps: tokens right-aligned, each history slot valid once the step
  // before its token has run.
  DetS e(pack("main"), ref().at("det_main_idv"));
  const std::vector<std::vector<float>> want = {
      {0, 0, 0, 0, 0, 1}, {0, 0, 1, 0, 1, 1}, {0, 1, 1, 1, 1, 1}, {1, 1, 1, 1, 1, 1}, {1, 1, 1, 1, 1, 1}};
  for (std::size_t k = 0; k < want.size(); ++k) EXPECT_EQ(flags(e.step(token_feat(k)).h), want[k]) << k;
}

TEST(DetSTest, StatisticsOfOtherTypesSetTheResultType) {
  // float32 motion times float16 scales stays float32; plus float64 means it becomes float64.
  DetS d(pack("f64"), ref().at("det_f64_idv"));
  EXPECT_EQ(d.step(token_feat(0)).motion.dtype(), DType::Float64);
  DetS e(pack("f64"), ref().at("det_f64_idv"));
  expect_reference(e, "f64", 5);
}

TEST(DetSTest, OneTokenWindowWithoutFlow) {
  // Without a flow graph the recorded rows are never read, an empty list included.
  DetS d(pack("noflow"), ref().at("det_noflow_idv"), std::vector<std::vector<double>>{});
  expect_reference(d, "noflow", 4);
}

TEST(DetSTest, RecordedFlowRowsAreUsedUp) {
  DetS d(pack("main"), ref().at("det_rec_idv"), rows_of(ref().at("det_rec_noise")));
  expect_reference(d, "rec", 3);
  try {
    d.step(token_feat(3));
    ADD_FAILURE() << "no error";
  } catch (const std::out_of_range& e) {
    EXPECT_EQ(std::string(e.what()), "pop from empty list");
  }
  DetS bad(pack("main"), ref().at("det_rec_idv"), std::vector<std::vector<double>>{{1.0, 2.0}});
  try {
    bad.step(token_feat(0));
    ADD_FAILURE() << "no error";
  } catch (const std::invalid_argument& e) {
    EXPECT_EQ(std::string(e.what()), "cannot reshape array of size 2 into shape (1,3)");
  }
}

TEST(DetSTest, RefusedInputsAndColumns) {
  const NdArray idv = ref().at("det_main_idv");
  EXPECT_THROW(DetS(pack("main"), idv.slice(0, 125)), std::invalid_argument);
  DetS d(pack("main"), idv);
  EXPECT_THROW(d.step(token_feat(0).slice(0, 3)), std::invalid_argument);
  // Column indices are checked when the detector is made; -F .. F - 1 are columns, as in NumPy.
  Pack pk(pack_dir("main"));
  pk.det_dims = NdArray::of<std::int64_t>({0, -7, 2, 3, 6});
  EXPECT_NO_THROW(DetS(pk, idv));
  pk.det_dims = NdArray::of<std::int64_t>({0, 7, 2, 3, 6});
  try {
    DetS bad(pk, idv);
    ADD_FAILURE() << "no error";
  } catch (const std::out_of_range& e) {
    EXPECT_EQ(std::string(e.what()), "index 7 is out of bounds for axis 1 with size 7");
  }
}

}  // namespace
}  // namespace velmora::v2u
