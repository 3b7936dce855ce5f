#include <gtest/gtest.h>
#include <onnxruntime_cxx_api.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <limits>
#include <map>
#include <system_error>

#include "common/file_read.h"
#include "common/json_convert.h"
#include "common/py_error.h"
#include "support/temp_dir.h"
#include "v2u/host/pack.h"

namespace velmora::v2u {
namespace {

namespace fs = std::filesystem;
const std::string FIX = VELMORA_SOURCE_DIR "/tests/fixtures/v2u/";

const NpzFile& runs() {
  static const NpzFile z = NpzFile::load(FIX + "pack_runs.npz");
  return z;
}

void expect_same(const NdArray& got, const NdArray& want) {
  ASSERT_EQ(got.shape(), want.shape());
  ASSERT_EQ(got.dtype(), want.dtype());
  EXPECT_EQ(std::memcmp(got.raw_data(), want.raw_data(), got.nbytes()), 0);
}

// The large graph inputs of tests/fixtures/v2u/gen_pack.py: ((i mod 97) * 0.125 - 6) in float32.
NdArray pattern(Shape shape) {
  NdArray a(DType::Float32, shape);
  for (std::int64_t i = 0; i < a.size(); ++i) a.data<float>()[i] = static_cast<float>((i % 97) * 0.125 - 6.0);
  return a;
}

std::vector<std::int64_t> ints(const NdArray& a) {
  const auto v = a.values<std::int64_t>();
  return {v.begin(), v.end()};
}

using Changes = std::map<std::string, std::string>;

// A pack directory of its own: host.json from the fixture with `changes` (key -> JSON text, or "" to drop
// the key), graph entries absolute into the fixture, and the fixture's (or a variant's) host.npz and e3fit.json.
class PackDir {
 public:
  explicit PackDir(const std::map<std::string, std::string>& changes = {}, const std::string& npz = "pack/host.npz",
                   std::string graphs = "") {
    const json::Value j = json::parse(read_file(FIX + "pack/host.json"));
    std::map<std::string, std::string> keys;
    std::vector<std::string> order;
    for (const auto& [k, v] : j.as_object()) {
      order.push_back(k);
      keys[k] = k == "graphs" ? "" : json_text(v);
    }
    if (graphs.empty()) {
      graphs = "{";
      for (const auto& [k, v] : json::at(j, "graphs").as_object())
        graphs += (graphs.size() > 1 ? ", \"" : "\"") + k + "\": \"" + FIX + "pack/" + v.as_string() + "\"";
      graphs += "}";
    }
    keys["graphs"] = graphs;
    for (const auto& [k, v] : changes) {
      if (!keys.count(k)) order.push_back(k);
      keys[k] = v;
    }
    std::string text = "{";
    for (const auto& k : order)
      if (!keys[k].empty()) text += (text.size() > 1 ? ", \"" : "\"") + k + "\": " + keys[k];
    dir_.write("host.json", text + "}");
    if (!npz.empty()) fs::copy_file(FIX + npz, dir_.path() / "host.npz");
    fs::copy_file(FIX + "pack/e3fit.json", dir_.path() / "e3fit.json");
  }
  std::string str() const { return dir_.str(); }
  const testing::TempDir& dir() const { return dir_; }

 private:
  static std::string json_text(const json::Value& v) {
    if (v.is_string()) return "\"" + v.as_string() + "\"";
    if (v.is_null()) return "null";
    if (v.is_bool()) return v.as_bool() ? "true" : "false";
    if (v.is_array() || v.is_object()) {
      std::string s = v.is_array() ? "[" : "{";
      bool first = true;
      if (v.is_array()) for (const auto& e : v.as_array()) s += (first ? "" : ", ") + json_text(e), first = false;
      else for (const auto& [k, e] : v.as_object()) s += (first ? "\"" : ", \"") + k + "\": " + json_text(e), first = false;
      return s + (v.is_array() ? "]" : "}");
    }
    return json::py_str(v);
  }
  testing::TempDir dir_;
};

TEST(PackTest, LoadsTheFixturePackWithItsSessions) {
  const Pack pk(FIX + "pack", 2);
  EXPECT_EQ(pk.root, FIX + "pack");
  EXPECT_EQ(pk.R, 5);
  EXPECT_EQ(pk.F, 6);
  EXPECT_EQ(pk.W_TOK, 3);
  EXPECT_EQ(ints(pk.det_dims), (std::vector<std::int64_t>{0, 2, 3}));
  EXPECT_EQ(ints(pk.DRV), (std::vector<std::int64_t>{0, 1, 2, 3, 4, 5}));
  EXPECT_EQ(ints(pk.RKEY), (std::vector<std::int64_t>{3, 7}));  // reals truncate toward zero
  EXPECT_EQ(pk.EYE4.size(), 12);
  // Converted members are copies of their own type; the archive keeps the stored type.
  EXPECT_EQ(pk.P.dtype(), DType::Float64);
  EXPECT_EQ(pk.a.at("P").dtype(), DType::Float32);
  EXPECT_EQ(pk.P.as_double(1), 0.25);
  EXPECT_EQ(pk.base69.dtype(), DType::Float64);
  EXPECT_EQ(pk.pca_V.dtype(), DType::Float32);
  ASSERT_EQ(pk.stw.size(), 2u);
  EXPECT_EQ(pk.stw[0].first.shape(), (Shape{16, 126}));
  EXPECT_EQ(pk.stw[0].second.dtype(), DType::Float32);
  EXPECT_EQ(json::py_int(json::at(pk.h, "nkf")), 2);
  ASSERT_NE(pk.j.find("extra_key"), nullptr);
  EXPECT_EQ(pk.e3.b, -1.75);
  EXPECT_EQ(ints(pk.flow_dims), (std::vector<std::int64_t>{1, 4}));
  ASSERT_TRUE(pk.s_dflow.has_value());
  EXPECT_EQ(pk.flow_D, 5);
  EXPECT_EQ(pk.motion_path, FIX + "pack/graphs/motion.onnx");
  EXPECT_EQ(pk.lite_path, FIX + "pack/graphs/lite.onnx");
  EXPECT_EQ(pk.trunk_in, "audio");
  EXPECT_EQ(pk.trunk_out, "trunk");
  EXPECT_EQ(pk.s_det.intra_op_threads(), 2);
  EXPECT_EQ(pk.s_head.output_names(), std::vector<std::string>{"emb"});
}

TEST(PackTest, EveryGraphRunsWithTheExpectedOutput) {
  const Pack pk(FIX + "pack");
  const NpzFile& z = runs();
  {
    const NdArray audio = pattern({1, 32000});
    const auto out = pk.s_trunk.run({{pk.trunk_in.c_str(), audio}}, {pk.trunk_out.c_str()});
    ASSERT_EQ(out.size(), 1u);
    ASSERT_EQ(out[0].shape(), (Shape{1, 640, 400}));
    const float* t = out[0].data<float>();
    for (std::int64_t ch = 0; ch < 640; ch += 37)
      for (std::int64_t k = 0; k < 400; k += 13) ASSERT_EQ(t[ch * 400 + k], 0.5f * audio.data<float>()[(ch % 80) * 400 + k]);
  }
  {
    const NdArray x = pattern({3, 640});
    const auto emb = pk.s_head.run({{"x", x}}, {"emb"});
    ASSERT_EQ(emb[0].shape(), (Shape{3, 12, 768}));
    EXPECT_EQ(emb[0].data<float>()[(2 * 12 + 5) * 768 + 700], x.data<float>()[2 * 640 + 60] + 1.25f);
  }
  const NdArray feat = pattern({1, 12, 3, 768});
  const auto det = pk.s_det.run({{"feat", feat}, {"hist", z.at("det_hist")}, {"valid", z.at("det_valid")},
                                 {"tokv", z.at("det_tokv")}, {"idv", z.at("det_idv")}});
  ASSERT_EQ(det.size(), 2u);
  expect_same(det[0], z.at("det_xo"));
  expect_same(det[1], z.at("det_h"));
  // The detector's hidden output goes on as it was returned.
  const auto fl = pk.s_dflow->run({{"h", det[1]}, {"x0", z.at("flow_x0")}});
  expect_same(fl[0], z.at("flow_fl"));
  const NdArray f = pattern({1, 1, 4, 3, 768});
  std::vector<Feed> ctx{{"f", f}};
  for (const char* n : {"hh", "shist", "fhist", "lprev", "tok", "idt", "hid", "pose_deg", "k0"})
    ctx.push_back({n, z.at(std::string("ctx_") + n)});
  const auto c = pk.s_hctx.run(ctx);
  ASSERT_EQ(c.size(), 3u);
  expect_same(c[0], z.at("ctx_g"));
  expect_same(c[1], z.at("ctx_hid_out"));
  expect_same(c[2], z.at("ctx_pr"));
  const auto d = pk.s_hdraw.run({{"g", c[0]}, {"code", z.at("draw_code")}, {"u", z.at("draw_u")},
                                 {"x0", z.at("draw_x0")}, {"lpn", z.at("draw_lpn")}});
  ASSERT_EQ(d.size(), 3u);
  expect_same(d[0], z.at("draw_dfa"));
  expect_same(d[1], z.at("draw_dsl"));
  expect_same(d[2], z.at("draw_lk"));
  // Into caller-made outputs, and by name in another order.
  std::vector<NdArray> into{NdArray(DType::Float32, {1, 1, 3}), NdArray(DType::Float32, {1, 2, 3})};
  const std::vector<Feed> feeds{{"g", c[0]}, {"code", z.at("draw_code")}, {"u", z.at("draw_u")},
                                {"x0", z.at("draw_x0")}, {"lpn", z.at("draw_lpn")}};
  const char* names[] = {"dsl", "dfa"};
  pk.s_hdraw.run_into(feeds, names, into);
  expect_same(into[0], z.at("draw_dsl"));
  expect_same(into[1], z.at("draw_dfa"));
  EXPECT_THROW(pk.s_hdraw.run({{"nope", c[0]}}), Ort::Exception);
}

// The frame renderer's two graphs, opened from the pack's paths as the renderer opens them.
TEST(PackTest, RendererGraphsRunOnIdentityTensors) {
  const Pack pk(FIX + "pack");
  const NpzFile idn = NpzFile::load(FIX + "identity/full.npz");
  const Session mot = ort_session(pk.motion_path, 1);
  const Session lite = ort_session(pk.lite_path, 1);
  const NdArray f32 = idn.at("g_f32").astype(DType::Float32), xs = idn.at("x_s_t").astype(DType::Float32);
  const NdArray xd = pattern({2, 21, 3}), xk = pattern({2, 21, 3});
  const NdArray bf = idn.at("b_f32").astype(DType::Float32).reshaped({3, 6});
  const NdArray bf2 = NdArray::of<float>(std::vector<float>(bf.data<float>(), bf.data<float>() + 12), Shape{2, 6});
  const auto m = mot.run({{"f32", f32}, {"x_s", xs}, {"x_d", xd}, {"bf32", bf2}, {"xk", xk}});
  ASSERT_EQ(m.size(), 5u);
  EXPECT_EQ(m[0].shape(), (Shape{2, 4, 4, 2}));
  EXPECT_EQ(m[0].data<float>()[0], -1.0f);
  EXPECT_EQ(m[4].data<float>()[31], 0.5f);
  EXPECT_EQ(m[2].data<float>()[7], 2.0f * bf2.data<float>()[7]);
  const NdArray wrgb = pattern({2, 3, 512, 512});
  const auto o = lite.run({{"wrgb", wrgb}, {"grid64", m[0]}, {"occ", m[1]}, {"y0", m[3]}, {"z", m[2]},
                           {"f128", idn.at("g_f128").astype(DType::Float32)}});
  ASSERT_EQ(o[0].shape(), (Shape{2, 3, 512, 512}));
  auto fmax = [](const NdArray& a) { return *std::max_element(a.data<float>(), a.data<float>() + a.size()); };
  const float shift = ((((fmax(m[0]) + fmax(m[1])) + fmax(m[3])) + fmax(m[2])) + fmax(idn.at("g_f128").astype(DType::Float32))) * 0.0625f;
  for (std::int64_t i : {std::int64_t{0}, std::int64_t{777777}, wrgb.size() - 1})
    EXPECT_EQ(o[0].data<float>()[i], 0.5f * wrgb.data<float>()[i] + shift);
}

std::string error_of(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no error)";
}

TEST(PackTest, TrunkCropCheck) {
  const json::Value none;
  EXPECT_TRUE(trunk_exact(none, 5));
  EXPECT_FALSE(trunk_exact(none, 4));
  EXPECT_TRUE(trunk_exact(json::Value::integer(6), 6));
  EXPECT_FALSE(trunk_exact(json::Value::integer(6), 6, 7));
  EXPECT_TRUE(trunk_exact(json::Value::integer(-3), 1, 2));
  EXPECT_TRUE(trunk_exact(json::Value::integer(5), 5, std::nullopt));
  EXPECT_TRUE(trunk_exact(json::Value::number(6.9), 6));
  EXPECT_THROW(trunk_exact(json::Value::string("x"), 5), std::invalid_argument);
  // Radii beyond 64 bits compare as Python's integers do: never equal, negative ones always exact.
  for (const json::Value& huge : {json::Value::number(1e22), json::parse("100000000000000000000000"),
                                  json::Value::string("100000000000000000000000")}) {
    EXPECT_FALSE(trunk_exact(huge, 5)) << json::py_str(huge);
    EXPECT_FALSE(trunk_exact(huge, std::numeric_limits<std::int64_t>::max())) << json::py_str(huge);
  }
  EXPECT_TRUE(trunk_exact(json::Value::number(-1e22), 5));
  EXPECT_TRUE(trunk_exact(json::parse("-100000000000000000000000"), 5));
  // The check runs before host.npz is opened: these directories have none.
  const struct { std::string crop, R, message; } cases[] = {
      {"", "4", "shared set: trunk crop R None is not exact at host R 4"},
      {"null", "4", "shared set: trunk crop R None is not exact at host R 4"},
      {"6.9", "7", "shared set: trunk crop R 6.9 is not exact at host R 7"},
      {"6", "7.0", "shared set: trunk crop R 6 is not exact at host R 7.0"},
      {"\"4\"", "5", "shared set: trunk crop R 4 is not exact at host R 5"},
      {"1e22", "5", "shared set: trunk crop R 1e+22 is not exact at host R 5"},
      {"100000000000000000000000", "5", "shared set: trunk crop R 100000000000000000000000 is not exact at host R 5"},
  };
  for (const auto& c : cases) {
    PackDir dir(Changes{{"trunk_crop_r", c.crop}, {"R", c.R}}, "");
    EXPECT_EQ(error_of([&] { Pack pk(dir.str()); }), c.message);
  }
  EXPECT_NO_THROW(Pack(PackDir(Changes{{"trunk_crop_r", "6.9"}, {"R", "6"}}).str()));
  EXPECT_NO_THROW(Pack(PackDir(Changes{{"trunk_crop_r", "-1"}, {"R", "9"}}).str()));
}

TEST(PackTest, MissingKeysEntriesAndMembersAreNamed) {
  const std::string g = FIX + "pack/graphs/";
  const std::string all = "\"enc_trunk\": \"" + g + "enc_trunk.onnx\", \"enc_head\": \"" + g + "enc_head.onnx\", \"det\": \"" + g +
                          "det.onnx\", \"head_ctx\": \"" + g + "head_ctx.onnx\", \"head_draw\": \"" + g + "head_draw.onnx\"";
  const struct { std::map<std::string, std::string> changes; std::string npz, graphs, key; } cases[] = {
      {{{"R", ""}}, "pack/host.npz", "", "R"},
      {{{"det_F", ""}}, "pack/host.npz", "", "det_F"},
      {{{"det_window", ""}}, "pack/host.npz", "", "det_window"},
      {{{"st_n", ""}}, "pack/host.npz", "", "st_n"},
      {{{"head", ""}}, "pack/host.npz", "", "head"},
      {{{"e3_cal", ""}}, "pack/host.npz", "", "e3_cal"},
      {{{"e3_cal", "\"nope\""}}, "pack/host.npz", "", "nope"},
      {{{"graphs", ""}}, "pack/host.npz", "", "graphs"},
      {{}, "pack/host.npz", "{" + all + ", \"motion\": \"m\", \"lite\": \"l\"}", "det_flow"},
      {{}, "pack/host.npz", "{" + all + ", \"det_flow\": \"" + g + "det_flow.onnx\", \"lite\": \"l\"}", "motion"},
      {{}, "pack/host.npz", "{" + all + ", \"det_flow\": \"" + g + "det_flow.onnx\", \"motion\": \"m\"}", "lite"},
      {{}, "pack_variants/no_st_b1.npz", "", "st_b1"},
      {{{"st_n", "3"}}, "pack/host.npz", "", "st_w2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    PackDir dir(c.changes, c.npz, c.graphs);
    try {
      Pack pk(dir.str());
      ADD_FAILURE() << "loaded";
    } catch (const KeyError& e) {
      EXPECT_EQ(e.key(), c.key);
    }
  }
  // Without flow indices the flow graph is neither needed nor opened, and det_flow_D defaults to 0.
  PackDir noflow(Changes{{"det_flow_D", ""}}, "pack_variants/noflow.npz",
                 "{" + all + ", \"motion\": \"m\", \"lite\": \"/abs/lite.onnx\"}");
  const Pack pk(noflow.str());
  EXPECT_FALSE(pk.s_dflow.has_value());
  EXPECT_EQ(pk.flow_D, 0);
  EXPECT_EQ(pk.motion_path, noflow.str() + "/m");
  EXPECT_EQ(pk.lite_path, "/abs/lite.onnx");
}

TEST(PackTest, BadFilesAndValuesFailTheLoad) {
  auto code_of = [](const std::function<void()>& f) {
    try {
      f();
    } catch (const std::system_error& e) {
      return e.code().value();
    }
    return 0;
  };
  PackDir dir;
  fs::remove(dir.dir().path() / "e3fit.json");
  EXPECT_EQ(code_of([&] { Pack pk(dir.str()); }), ENOENT);
  fs::remove(dir.dir().path() / "host.npz");
  EXPECT_EQ(code_of([&] { Pack pk(dir.str()); }), ENOENT);
  fs::remove(dir.dir().path() / "host.json");
  EXPECT_EQ(code_of([&] { Pack pk(dir.str()); }), ENOENT);
  EXPECT_THROW(Pack(PackDir({}, "pack_variants/object.npz").str()), NpyError);
  EXPECT_NE(error_of([&] { Pack pk(PackDir({}, "pack_variants/nan_dims.npz").str()); }).find("'det_dims'"), std::string::npos);
  EXPECT_THROW(Pack(PackDir(Changes{{"det_F", "null"}}).str()), std::invalid_argument);
  EXPECT_THROW(Pack(PackDir(Changes{{"R", "[5]"}}).str()), std::invalid_argument);
  EXPECT_THROW(Pack(FIX + "pack", -1), std::invalid_argument);
  {
    PackDir bad;
    bad.dir().write("host.json", "{\"R\": 5,");
    EXPECT_THROW(Pack pk(bad.str()), json::Error);
  }
  const std::string g = FIX + "pack/graphs/";
  PackDir corrupt({}, "pack/host.npz",
                  "{\"enc_trunk\": \"" + g + "enc_trunk.onnx\", \"enc_head\": \"" + g + "corrupt.onnx\", \"det\": \"" + g +
                      "missing.onnx\", \"head_ctx\": \"x\", \"head_draw\": \"x\", \"motion\": \"m\", \"lite\": \"l\"}");
  EXPECT_THROW(Pack pk(corrupt.str()), Ort::Exception);
  EXPECT_THROW(ort_session(g + "missing.onnx"), Ort::Exception);
  EXPECT_EQ(ort_session(g + "det.onnx", 0).intra_op_threads(), 0);
}

TEST(PackTest, StitchMatchesNumPyWithExactWeights) {
  const NpzFile& z = runs();
  const Pack pk(FIX + "pack");
  const NdArray out = pk.stitch(z.at("stitch_xs"), z.at("stitch_xd"));
  expect_same(out, z.at("stitch_out"));
  // Inputs of any real type and trailing shape give the same rows.
  expect_same(pk.stitch(z.at("stitch_xs").astype(DType::Float64).reshaped({2, 63}), z.at("stitch_xd").reshaped({2, 63})), out);
  // One layer: an affine map with no rectifier.
  PackDir one(Changes{{"st_n", "1"}}, "pack_variants/one_layer.npz");
  expect_same(Pack(one.str()).stitch(z.at("stitch_xs"), z.at("stitch_xd")), z.at("stitch_one_out"));
  EXPECT_THROW(pk.stitch(z.at("stitch_xs"), z.at("stitch_xd").item(0)), std::invalid_argument);
  EXPECT_THROW(pk.stitch(z.at("stitch_xs").item(0), z.at("stitch_xd").item(0)), std::invalid_argument);
  EXPECT_EQ(pk.stitch(NdArray(DType::Float32, {0, 21, 3}), NdArray(DType::Float64, {0, 21, 3})).shape(), (Shape{0, 21, 3}));
}

}  // namespace
}  // namespace velmora::v2u
