#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/json_convert.h"
#include "common/py_error.h"
#include "common/support/fixture.h"
#include "v2u/host/scheduler.h"

namespace velmora::v2u {
namespace {

using testing::json_fixture;
using testing::StreamDigest;

NdArray arr(const json::Value& v) { return json::to_array(v, DType::Float64); }
NdArray vec(std::initializer_list<double> v) { return NdArray::of<double>(v); }

// --- the call scripts of the NumPy reference -------------------------------------------------------------

// The reference's inputs of frames t0 .. t0 + T - 1 (formulas in gen_eyes.py).
NdArray rows_of(std::int64_t t0, std::int64_t T, DType type) {
  NdArray r(DType::Float64, {T, 69});
  for (std::int64_t t = t0; t < t0 + T; ++t)
    for (std::int64_t c = 0; c < 69; ++c)
      r.data<double>()[(t - t0) * 69 + c] = static_cast<double>((t * 7919 + c * 104729) % 2001 - 1000) / 4000.0;
  return r.astype(type);
}

NdArray fp_of(std::int64_t t0, std::int64_t T, std::int64_t cols, DType type) {
  const std::int64_t w = std::max<std::int64_t>(cols, 1);
  NdArray r = cols == 0 ? NdArray(DType::Float64, {T}) : NdArray(DType::Float64, {T, cols});
  for (std::int64_t t = t0; t < t0 + T; ++t)
    for (std::int64_t j = 0; j < w; ++j)
      r.data<double>()[(t - t0) * w + j] = static_cast<double>((t * 37 + j * 101) % 211 - 105) / 211.0;
  return r.astype(type);
}

NdArray fe_of(std::int64_t t0, std::int64_t T) {
  NdArray r(DType::Float64, {T});
  for (std::int64_t t = t0; t < t0 + T; ++t)
    r.data<double>()[t - t0] = static_cast<double>((t * 13) % 89 - 44) / 89.0 + static_cast<double>((t / 100) % 3) * 0.25;
  return r;
}

DType dtype_named(const std::string& name) { return name == "float32" ? DType::Float32 : DType::Float64; }

std::string digits(const NdArray& a) {
  std::string s;
  for (std::int64_t v : a.values<std::int64_t>()) s += std::to_string(v);
  return s;
}

std::vector<std::int64_t> ints(const json::Value& list) {
  std::vector<std::int64_t> out;
  for (const json::Value& v : list.as_array()) out.push_back(v.as_int());
  return out;
}

TEST(E3COpen, LongCallScriptsEqualNumpy) {
  // Three streams of 6000-7300 frames in blocks of 0 to 400 with pops between (empty ones too), so that the
  // running sums are cut, the event track regrows and the AR(2) noise releases rows: windows into the past
  // and wholly into the future (with an empty one), fp of 2 columns in float64 and of 1 in float32, a library
  // larger than the 150 events kept, a repeated eye column, and the calibrated scheduler on the first stream.
  const json::Value f = json_fixture("v2u_eyes/eyes.json");
  int cases = 0;
  for (const json::Value& k : f.find("traces")->as_array()) {
    SCOPED_TRACE(k.find("name")->as_string());
    ++cases;
    const E3Params g(*k.find("e3fit"), k.find("cal")->as_string());
    const NdArray P = arr(*k.find("P"));
    const EyeMap emap(arr(*k.find("e_img")), P);
    AR2Noise noise(g.res, SeedInt::parse(k.find("ar_seed")->as_string()));
    const SeedInt seed = SeedInt::parse(k.find("seed")->as_string());
    const double shift = k.find("shift")->as_double();
    const NdArray d = arr(*k.find("d")), c = arr(*k.find("c"));
    std::unique_ptr<E3COpen> s;
    if (const json::Value* xm = k.find("xcal_m"))
      s = std::make_unique<E3XBOpen>(g, emap, P, d, c, seed, shift, std::move(noise), XCal(arr(*xm), P));
    else
      s = std::make_unique<E3COpen>(g, emap, P, d, c, seed, shift, std::move(noise));
    EXPECT_EQ(s->pool_f(), ints(*k.find("pool_f")));
    EXPECT_EQ(s->pool_s(), ints(*k.find("pool_s")));

    const NdArray EYE4 = json::to_array(*k.find("EYE4"), DType::Int64);
    const std::vector<std::int64_t> eye4 = ints(*k.find("EYE4"));
    const std::int64_t fp_cols = k.find("fp_cols")->as_int();
    const DType fp_type = dtype_named(k.find("fp_dtype")->as_string());
    const DType rows_type = dtype_named(k.find("rows_dtype")->as_string());
    const auto& pops = k.find("pops")->as_array();
    std::size_t ip = 0;
    std::int64_t n = 0;
    for (const json::Value& op : k.find("ops")->as_array()) {
      if (!op.as_array().empty()) {
        const std::int64_t T = op.as_array()[0].as_int();
        s->add(rows_of(n, T, rows_type), fp_of(n, T, fp_cols, fp_type), fe_of(n, T));
        n += T;
        continue;
      }
      const json::Value& want = pops.at(ip);
      SCOPED_TRACE("pop " + std::to_string(ip++));
      const std::optional<EyePop> r = s->pop(EYE4);
      const std::int64_t T = want.find("T")->as_int();
      if (T == 0) {
        ASSERT_FALSE(r.has_value());
        continue;
      }
      ASSERT_TRUE(r.has_value());
      ASSERT_EQ(r->out.dtype(), DType::Float32);
      ASSERT_EQ(r->out.shape(), Shape({T, 69}));
      for (std::size_t i = 0; i < eye4.size(); ++i)
        ASSERT_EQ(r->out.data<float>()[eye4[i]], want.find("row0")->as_array()[i].as_double()) << "eye column " << i;
      StreamDigest dg;
      dg.add(r->out.values<float>());
      ASSERT_EQ(dg.hex(), want.find("sha256")->as_string());
      ASSERT_EQ(digits(r->sL), want.find("sL")->as_string());
      ASSERT_EQ(digits(r->sR), want.find("sR")->as_string());
      ASSERT_NE(r->sL.raw_data(), r->sR.raw_data());
      ASSERT_EQ(s->n_on(), want.find("n_on")->as_int());
    }
    EXPECT_EQ(ip, pops.size());
    const json::Value& fin = *k.find("final");
    EXPECT_EQ(s->th(), fin.find("th")->as_int());
    EXPECT_EQ(s->n(), fin.find("n")->as_int());
    EXPECT_EQ(s->done(), fin.find("done")->as_int());
    EXPECT_EQ(s->fb(), fin.find("fb")->as_int());
    EXPECT_EQ(s->cb(), fin.find("cb")->as_int());
    EXPECT_EQ(static_cast<std::int64_t>(s->f().size()), fin.find("f_len")->as_int());
    EXPECT_EQ(s->cs_rows(), fin.find("cs_rows")->as_int());
    EXPECT_EQ(std::vector<std::int64_t>(s->on().begin(), s->on().end()), ints(*fin.find("on")));
  }
  EXPECT_EQ(cases, 3);
}

// --- small hand-made schedulers ------------------------------------------------------------------------

// An e3fit.json whose hazard is the constant logistic(b): weights 0, means 0, scales 1.
struct Fit {
  double b = 50.0;  // +50: an onset on every evaluated frame; -50: never
  std::string lib = "[[0.2,0.9,0.4,0.0]]", pre = "[0.3]", flut = "[0]";
  double q = 0.3;
  std::int64_t REF = 3;
  std::string aw = "[[-4,0]]";
  int windows = 1, m = 2;
  std::string B = "", V = "[]";

  E3Params params() const {
    const int NF = 26 + m * windows;
    auto fill = [](int n, const char* v) {
      std::string s = "[";
      for (int i = 0; i < n; ++i) {
        if (i) s += ',';
        s += v;
      }
      return s + "]";
    };
    std::string b3 = B.empty() ? "[" + fill(12, "0") + "," + fill(12, "0") + "," + fill(12, "0") + "]" : B;
    const std::string text = R"({"hazard":{"w":)" + fill(NF, "0") + R"(,"b":)" + std::to_string(b) + R"(,"mu_x":)" +
                             fill(NF, "0") + R"(,"sd_x":)" + fill(NF, "1") + R"(},"cal":{"eo":{"delta":0}},"lib_rel":)" + lib +
                             R"(,"lib_pre":)" + pre + R"(,"lib_flut":)" + flut + R"(,"q_flut_val":)" + std::to_string(q) +
                             R"(,"u":0.0,"resid":{"B":)" + b3 + R"(,"V":)" + V + R"(,"ar":[]},"REFRACT":)" +
                             std::to_string(REF) + R"(,"causal":{"AWIN":)" + aw + "}}";
    return E3Params(json::parse(text));
  }
};

const NdArray P3 = vec({0.0, 0.5, 1.0});
const EyeMap EMAP(NdArray::of<double>(std::vector<double>{0.2, 0.2, 0.5, 0.5, 0.8, 0.8}, {3, 2}), P3);
const NdArray D0(DType::Float64, {2, 12});
const NdArray C01 = vec({0.0, 1.0});
const NdArray EYE4 = NdArray::of<std::int64_t>({30, 31, 33, 34, 36, 37, 39, 40, 42, 43, 45, 46});

std::unique_ptr<E3COpen> scheduler(const Fit& fit, std::int64_t keep_onsets = 64, SeedInt seed = 7) {
  return std::make_unique<E3COpen>(fit.params(), EMAP, P3, D0, C01, seed, 0.0, AR2Noise(std::vector<Ar2Channel>{}, 0),
                                   0.95, keep_onsets);
}

void add(E3COpen& s, std::int64_t T) {
  s.add(NdArray(DType::Float32, {T, 69}), NdArray(DType::Float64, {T}), NdArray(DType::Float64, {T}));
}

TEST(E3COpen, PopWithNothingPendingGivesNothing) {
  auto s = scheduler(Fit{});
  EXPECT_FALSE(s->pop(EYE4).has_value());
  add(*s, 0);
  EXPECT_FALSE(s->pop(EYE4).has_value());
  EXPECT_EQ(s->th(), 0);
  add(*s, 3);
  const std::optional<EyePop> r = s->pop(EYE4);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->out.shape(), Shape({3, 69}));
  EXPECT_EQ(r->sL.dtype(), DType::Int64);
  EXPECT_EQ(r->sL.size(), 3);
  EXPECT_EQ(r->sR.size(), 3);
  EXPECT_EQ(s->done(), 3);
  EXPECT_FALSE(s->pop(EYE4).has_value());
}

TEST(E3COpen, DrawsFollowTheRefractoryTime) {
  // An onset on every evaluated frame: frames L + 1 .. L + REF - 1 draw nothing, frame L + REF is evaluated.
  // Per onset: random() for the test, random() for the pool when flutter events exist, integers(pool size)
  // (which draws nothing for a pool of one).
  struct Case {
    std::int64_t REF;
    const char *lib, *pre, *flut;
  } cases[] = {
      {4, "[[0.2,0.9,0.4,0.0]]", "[0.3]", "[0]"},
      {1, "[[0.2,0.9,0.4,0.0]]", "[0.3]", "[0]"},
      {3, "[[0.1,0.0],[0.2,0.0],[0.3,0.0],[0.4,0.0]]", "[0.3,0.31,0.29,0.5]", "[1,0,0,1]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("REF " + std::to_string(c.REF) + " library " + c.lib);
    Fit fit;
    fit.REF = c.REF;
    fit.lib = c.lib;
    fit.pre = c.pre;
    fit.flut = c.flut;
    auto s = scheduler(fit);
    add(*s, 7);
    s->pop(EYE4);
    add(*s, 13);
    s->pop(EYE4);
    Generator ref = default_rng(7);
    std::vector<std::int64_t> onsets;
    for (std::int64_t t = 0; t < 20; t += c.REF) {
      onsets.push_back(t);
      ref.random();
      const auto& pool = s->pool_f().empty() || !(ref.random() < fit.q) ? s->pool_s() : s->pool_f();
      ref.integers(static_cast<std::int64_t>(pool.size()));
    }
    EXPECT_EQ(std::vector<std::int64_t>(s->on().begin(), s->on().end()), onsets);
    const auto& a = s->rng().bit_generator().state();
    const auto& b = ref.bit_generator().state();
    EXPECT_TRUE(a.state == b.state && a.has_uint32 == b.has_uint32 && a.uinteger == b.uinteger);
  }
}

TEST(E3COpen, SeedsEqualModulo2To32GiveOneStream) {
  const auto state = [](SeedInt seed) { return scheduler(Fit{}, 64, seed)->rng().bit_generator().state().state; };
  EXPECT_TRUE(state(-1) == state(4294967295u));
  EXPECT_TRUE(state(SeedInt::parse("8589934599")) == state(7));
  EXPECT_FALSE(state(8) == state(7));
}

TEST(E3COpen, OverlappingEventsTakeTheMaximumAndOnsetsAreTrimmed) {
  Fit fit;
  fit.REF = 1;
  auto s = scheduler(fit, 3);
  add(*s, 10);
  s->pop(EYE4);
  EXPECT_EQ(s->n_on(), 10);
  EXPECT_EQ(std::vector<std::int64_t>(s->on().begin(), s->on().end()), (std::vector<std::int64_t>{7, 8, 9}));
  ASSERT_EQ(s->fb(), 0);
  const std::vector<double> want{0.2, 0.9, 0.9, 0.9, 0.9, 0.9, 0.9, 0.9, 0.9, 0.9, 0.9, 0.4, 0.0, 0.0};
  for (std::size_t t = 0; t < want.size(); ++t) EXPECT_EQ(s->f()[t], want[t]) << "frame " << t;
}

TEST(E3COpen, AddRefusesMismatchesBeforeChangingAnything) {
  auto s = scheduler(Fit{});
  struct Case {
    const char* what;
    NdArray rows, fp, fe;
  } cases[] = {
      {"68 columns", NdArray(DType::Float32, {2, 68}), NdArray(DType::Float64, {2}), NdArray(DType::Float64, {2})},
      {"fp one short", NdArray(DType::Float32, {2, 69}), NdArray(DType::Float64, {1}), NdArray(DType::Float64, {2})},
      {"fe of two axes", NdArray(DType::Float32, {2, 69}), NdArray(DType::Float64, {2}), NdArray(DType::Float64, {2, 1})},
      {"weights for m = 2, fp of 2 columns", NdArray(DType::Float32, {2, 69}), NdArray(DType::Float64, {2, 2}),
       NdArray(DType::Float64, {2})},
      {"a scalar fp", NdArray(DType::Float32, {1, 69}), NdArray::scalar(0.0), NdArray(DType::Float64, {1})},
  };
  for (const Case& c : cases) {
    EXPECT_THROW(s->add(c.rows, c.fp, c.fe), std::invalid_argument) << c.what;
    EXPECT_EQ(s->n(), 0) << c.what;
  }
  add(*s, 2);
  EXPECT_THROW(s->add(NdArray(DType::Float32, {2, 69}), NdArray(DType::Float64, {2, 2}), NdArray(DType::Float64, {2})),
               std::invalid_argument);
  EXPECT_EQ(s->n(), 2);
  EXPECT_EQ(s->pop(EYE4)->out.dim(0), 2);
}

TEST(E3COpen, BadEyeColumnsLeaveTheFramesPending) {
  auto s = scheduler(Fit{});
  add(*s, 4);
  const NdArray bad[] = {
      NdArray::of<std::int64_t>({30, 31, 33, 34, 36, 37, 39, 40, 42, 43, 45}),
      NdArray::of<std::int64_t>({30, 31, 33, 34, 36, 37, 39, 40, 42, 43, 45, 69}),
      NdArray::of<std::int64_t>({-1, 31, 33, 34, 36, 37, 39, 40, 42, 43, 45, 46}),
      EYE4.astype(DType::Float64),
  };
  for (const NdArray& e : bad) EXPECT_THROW(s->pop(e), std::invalid_argument) << e.shape().str();
  EXPECT_EQ(s->done(), 0);
  EXPECT_EQ(s->pop(EYE4.astype(DType::Int32))->out.dim(0), 4);
}

TEST(E3COpen, ConstructionRefusesWhatWouldFailMidStream) {
  struct Case {
    const char* what;
    Fit fit;
  };
  auto with = [](auto f) {
    Fit fit;
    f(fit);
    return fit;
  };
  const Case cases[] = {
      {"no windows", with([](Fit& f) { f.aw = "[]"; })},
      {"a window of three", with([](Fit& f) { f.aw = "[[-4,0,2]]"; })},
      {"B not 3 x 12", with([](Fit& f) { f.B = "[[0,0,0]]"; })},
      {"V rows without noise channels", with([](Fit& f) { f.V = "[[0,0,0,0,0,0,0,0,0,0,0,0]]"; })},
  };
  for (const Case& c : cases) EXPECT_THROW(scheduler(c.fit), std::invalid_argument) << c.what;

  const AR2Noise none(std::vector<Ar2Channel>{}, 0);
  const E3Params g = Fit{}.params();
  EXPECT_THROW(E3COpen(g, EMAP, NdArray(DType::Float64, {0}), D0, C01, 7, 0.0, none), std::invalid_argument);
  EXPECT_THROW(E3COpen(g, EMAP, P3, NdArray(DType::Float64, {2, 11}), C01, 7, 0.0, none), std::invalid_argument);
  EXPECT_THROW(E3COpen(g, EMAP, P3, D0, vec({0.0, 1.0, 2.0}), 7, 0.0, none), std::invalid_argument);
  EXPECT_THROW(E3COpen(g, EMAP, P3, D0, C01, 7, 0.0, AR2Noise({{0.5, 0.1, 1.0}}, 0)), std::invalid_argument);
  EXPECT_THROW(E3COpen(g, EMAP, P3, D0, C01, 7, 0.0, none, 0.95, -1), std::invalid_argument);

  E3Params gv = Fit{}.params();
  gv.res = json::parse(R"({"B":[[0,0,0,0,0,0,0,0,0,0,0,0],[0,0,0,0,0,0,0,0,0,0,0,0],[0,0,0,0,0,0,0,0,0,0,0,0]],"ar":[]})");
  EXPECT_THROW(E3COpen(gv, EMAP, P3, D0, C01, 7, 0.0, none), KeyError);

  // Flutter events only are fine when they are always chosen.
  Fit sure = with([](Fit& f) {
    f.flut = "[1]";
    f.q = 1.0;
  });
  auto s = scheduler(sure);
  add(*s, 5);
  EXPECT_EQ(s->pop(EYE4)->out.dim(0), 5);
  EXPECT_EQ(s->n_on(), 2);
}

TEST(E3COpen, AnEmptyEventPoolFailsOnlyAtADrawAndChangesNothing) {
  const Fit empty_library = [] {
    Fit f;
    f.lib = "[[0.2,0.9,0.4,0.5]]";  // its one event does not end at rest: no event is kept
    return f;
  }();
  const Fit flutter_only = [] {
    Fit f;
    f.flut = "[1]";  // the plain pool is empty and chosen whenever q is missed
    f.REF = 1;
    return f;
  }();
  const double never = -std::numeric_limits<double>::infinity();
  for (const Fit& fit : {empty_library, flutter_only}) {
    SCOPED_TRACE(fit.lib + " flut " + fit.flut);
    // A stream that never draws runs: events switched off by the hazard offset, or by the hazard itself.
    for (const auto& [b, shift] : {std::pair{50.0, never}, std::pair{-50.0, 0.0}}) {
      Fit quiet = fit;
      quiet.b = b;
      E3COpen s(quiet.params(), EMAP, P3, D0, C01, 7, shift, AR2Noise(std::vector<Ar2Channel>{}, 0));
      add(s, 2000);
      const std::optional<EyePop> r = s.pop(EYE4);
      ASSERT_TRUE(r.has_value());
      EXPECT_EQ(r->out.dim(0), 2000);
      EXPECT_EQ(s.n_on(), 0);
    }
    // A draw from the empty pool fails at its frame and leaves that frame, its draws and the frames pending.
    auto s = scheduler(fit);
    add(*s, 40);
    std::string first;
    try {
      s->pop(EYE4);
      ADD_FAILURE() << "drew from an empty pool";
    } catch (const std::runtime_error& e) {
      first = e.what();
    }
    EXPECT_NE(first.find("no plain event"), std::string::npos) << first;
    const std::int64_t th = s->th();
    const auto state = s->rng().bit_generator().state();
    EXPECT_EQ(s->done(), 0);
    EXPECT_EQ(s->last(), th == 0 ? std::nullopt : std::optional<std::int64_t>(th - 1));
    EXPECT_THROW(s->pop(EYE4), std::runtime_error);
    EXPECT_EQ(s->th(), th);
    EXPECT_TRUE(s->rng().bit_generator().state().state == state.state);
    if (fit.lib == empty_library.lib) {
      EXPECT_EQ(th, 0);
      EXPECT_TRUE(state.state == default_rng(7).bit_generator().state().state);
    }
  }
}

TEST(E3COpen, LevelChoiceKeepsThePreviousWithinTheHysteresis) {
  const std::vector<double> levels{0.0, 1.0, 2.0};
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    double key;
    std::optional<std::int64_t> prev;
    double ehyst;
    std::int64_t want;
  } cases[] = {
      {0.5, std::nullopt, 0.95, 0},  // halfway: the lower index
      {1.5, 1, 0.95, 1},             // as near as the nearest: stays
      {1.51, 1, 0.95, 1},            // 0.51 <= 0.49 / 0.95
      {1.52, 1, 0.95, 2},            // 0.52 > 0.48 / 0.95
      {1.51, 1, 1.0, 2},             // no hysteresis: only ties stay
      {2.0, 1, 0.95, 2},             // best distance 0: only another 0 stays
      {nan, std::nullopt, 0.95, 0},  // NaN distances: the first
      {nan, 2, 0.95, 0},
      {-3.0, std::nullopt, 0.95, 0},
      {7.0, 0, 0.95, 2},
  };
  for (const Case& c : cases)
    EXPECT_EQ(detail::choose_level(c.key, levels, c.prev, c.ehyst), c.want) << c.key << " prev " << c.prev.value_or(-1);
}

TEST(E3XBOpen, LevelsAreTwoDistinctArrays) {
  Fit fit;
  fit.b = -50.0;
  E3XBOpen s(fit.params(), EMAP, P3, D0, C01, 7, 0.0, AR2Noise(std::vector<Ar2Channel>{}, 0), XCal(vec({1.0, 2.0}), P3));
  EXPECT_FALSE(s.pop(EYE4).has_value());
  add(s, 3);
  std::optional<EyePop> r = s.pop(EYE4);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(digits(r->sL), "000");
  r->sL.data<std::int64_t>()[0] = 2;
  EXPECT_EQ(digits(r->sR), "000");
  EXPECT_EQ(s.prev(), std::optional(std::pair<std::int64_t, std::int64_t>(0, 0)));
  EXPECT_FALSE(s.pop(EYE4).has_value());
}

}  // namespace
}  // namespace velmora::v2u
