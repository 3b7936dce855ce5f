#include "mirel2/ostrand/color_correct.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <stdexcept>

#include "common/bundle.h"
#include "common/env.h"
#include "common/py_float.h"
#include "common/pytext.h"
#include "common/sha256.h"
#include "mirel2/ostrand/constants.h"

namespace velmora::ostrand {
namespace {

const std::string MEMBER(COLOR_MEMBER);
constexpr std::string_view DASH = "\u2014";

// A member value that cannot become the array its form needs.
class ConversionError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

using Shape = std::vector<std::size_t>;

// A shape as Python prints a tuple: "()", "(768,)", "(3, 256)".
std::string shape_text(const Shape& s) {
  std::string out = "(";
  for (std::size_t i = 0; i < s.size(); ++i) out += (i ? ", " : "") + std::to_string(s[i]);
  if (s.size() == 1) out += ",";
  return out + ")";
}

// The shape nested lists give (the lengths along the first elements), checked to be rectangular as an array
// conversion requires: every list at a level has that level's length and lists end at the same depth.
Shape nested_shape(const json::Value& v) {
  Shape dims;
  for (const json::Value* cur = &v; cur->is_array();) {
    dims.push_back(cur->as_array().size());
    if (cur->as_array().empty()) break;
    cur = &cur->as_array().front();
  }
  struct Check {
    const Shape& dims;
    void operator()(const json::Value& x, std::size_t level) const {
      const bool want_list = level < dims.size();
      if (x.is_array() != want_list || (want_list && x.as_array().size() != dims[level]))
        throw ConversionError("setting an array element with a sequence: the nesting has an inhomogeneous shape after " +
                              std::to_string(level) + " dimensions");
      if (want_list)
        for (const auto& e : x.as_array()) (*this)(e, level + 1);
    }
  };
  Check{dims}(v, 0);
  return dims;
}

template <typename F>
void for_each_leaf(const json::Value& v, const F& f) {
  if (!v.is_array()) return f(v);
  for (const auto& e : v.as_array()) for_each_leaf(e, f);
}

// A table entry: an integer 0..255, or a finite number whose fraction dropped gives one. Booleans and texts
// are refused rather than read leniently.
std::uint8_t to_uint8(const json::Value& v) {
  switch (v.kind()) {
    case json::Kind::Int:
      if (v.int_fits() && v.as_int() >= 0 && v.as_int() <= 255) return static_cast<std::uint8_t>(v.as_int());
      throw ConversionError("Python integer " + v.int_text() + " out of bounds for uint8");
    case json::Kind::Float: {
      const double d = v.as_double();
      if (std::isnan(d)) throw ConversionError("cannot convert float NaN to integer");
      if (std::isinf(d)) throw ConversionError("cannot convert float infinity to integer");
      const double t = std::trunc(d);
      if (t < 0 || t > 255) throw ConversionError("float " + py_float_repr(d) + " out of bounds for uint8");
      return static_cast<std::uint8_t>(t);
    }
    case json::Kind::Bool:
    case json::Kind::String:
      throw ConversionError(std::string("expected a number, got ") + v.type_name());
    default:
      throw ConversionError(std::string("int() argument must be a string, a bytes-like object or a real number, not '") +
                            v.type_name() + "'");
  }
}

// A double narrowed to the nearest float32; beyond the float32 range it is infinite.
float narrow(double d) {
  // Half an ulp above the largest float32 rounds to infinity (ties go to the even infinity).
  constexpr double LIMIT = 0x1.ffffffp127;
  if (std::isfinite(d) && std::fabs(d) >= LIMIT)
    return d > 0 ? std::numeric_limits<float>::infinity() : -std::numeric_limits<float>::infinity();
  return static_cast<float>(d);
}

// A gain or bias value: any number (NaN and infinities included, too large ones becoming infinite); null is
// NaN as an array conversion makes it. Booleans and texts are refused.
float to_float32(const json::Value& v) {
  switch (v.kind()) {
    case json::Kind::Int:
    case json::Kind::Float:
      return narrow(v.as_double());
    case json::Kind::Null:
      return std::numeric_limits<float>::quiet_NaN();
    case json::Kind::Bool:
    case json::Kind::String:
      throw ConversionError(std::string("expected a number, got ") + v.type_name());
    default:
      throw ConversionError(std::string("float() argument must be a string or a real number, not '") +
                            v.type_name() + "'");
  }
}

template <typename T, typename Convert>
std::pair<Shape, std::vector<T>> to_array(const json::Value& v, Convert convert) {
  Shape shape = nested_shape(v);
  std::vector<T> values;
  for_each_leaf(v, [&](const json::Value& leaf) { values.push_back(convert(leaf)); });
  return {std::move(shape), std::move(values)};
}

std::string source_or_member(std::string_view source) { return source.empty() ? MEMBER : std::string(source); }

ColorResult parse_lut(const json::Value& lut, std::string_view source) {
  std::pair<Shape, std::vector<std::uint8_t>> table;
  try {
    table = to_array<std::uint8_t>(lut, to_uint8);
  } catch (const ConversionError& e) {
    return {nullptr, MEMBER + ": 'lut' is not a uint8 array (" + e.what() + ")"};
  }
  if (table.first != Shape{3, 256})
    return {nullptr, MEMBER + ": 'lut' has shape " + shape_text(table.first) + ", the contract is (3, 256) " +
                         std::string(DASH) + " refusing to apply a mis-shaped table"};
  LutRows rows;
  for (std::size_t k = 0; k < 3; ++k) std::copy_n(table.second.begin() + 256 * k, 256, rows[k].begin());
  auto cc = std::make_shared<const ColorCorrect>(
      ColorCorrect{.kind = "lut", .lut = rows, .gain = {}, .bias = {}, .source = std::string(source)});
  return {std::move(cc), "per-channel LUT (model->driver) from " + source_or_member(source)};
}

ColorResult parse_gain_bias(const json::Value& gain, const json::Value& bias, std::string_view source) {
  std::pair<Shape, std::vector<float>> g, b;
  try {
    g = to_array<float>(gain, to_float32);
    b = to_array<float>(bias, to_float32);
  } catch (const ConversionError& e) {
    return {nullptr, MEMBER + ": 'gain'/'bias' are not float arrays (" + e.what() + ")"};
  }
  if (g.first != Shape{3} || b.first != Shape{3})
    return {nullptr, MEMBER + ": gain" + shape_text(g.first) + "/bias" + shape_text(b.first) +
                         ", the contract is (3,)/(3,)"};
  auto cc = std::make_shared<const ColorCorrect>(ColorCorrect{.kind = "gain_bias",
                                                              .lut = {},
                                                              .gain = ChannelValues{g.second[0], g.second[1], g.second[2]},
                                                              .bias = ChannelValues{b.second[0], b.second[1], b.second[2]},
                                                              .source = std::string(source)});
  return {std::move(cc), "per-channel gain/bias from " + source_or_member(source)};
}

// The three per-channel tables that the gain and bias form amounts to: an 8-bit input has 256 values only.
LutRows gain_bias_tables(const ChannelValues& gain, const ChannelValues& bias) {
  LutRows t;
  for (std::size_t k = 0; k < 3; ++k) {
    for (int v = 0; v < 256; ++v) {
      // Two separate float32 steps, never one fused multiply-add.
      const float product = static_cast<float>(v) * gain[k];
      const float sum = product + bias[k];
      // The negated test also sends NaN to 0.
      t[k][static_cast<std::size_t>(v)] = !(sum > 0.0f)   ? std::uint8_t{0}
                                          : sum >= 255.0f ? std::uint8_t{255}
                                                          : static_cast<std::uint8_t>(sum);
    }
  }
  return t;
}

std::string values_text(const ChannelValues& v) {
  std::string text = "[";
  for (std::size_t k = 0; k < v.size(); ++k) {
    if (k) text += ", ";
    text += py_float32_repr(v[k]);
  }
  return text + "]";
}

}  // namespace

void ColorCorrect::apply(std::span<const std::uint8_t> in, std::span<std::uint8_t> out) const {
  if (in.size() != out.size() || in.size() % 3 != 0)
    throw std::invalid_argument("colour correction needs pixels of 3 channels, got " + std::to_string(in.size()) +
                                " values in and " + std::to_string(out.size()) + " out");
  LutRows computed;
  const LutRows* rows = nullptr;
  if (is_lut()) {
    if (!lut) throw std::logic_error("a \"lut\" colour correction without its table");
    rows = &*lut;
  } else {
    if (!gain || !bias) throw std::logic_error("a gain and bias colour correction without its gain or bias");
    computed = gain_bias_tables(*gain, *bias);
    rows = &computed;
  }
  const auto& r = (*rows)[0];
  const auto& g = (*rows)[1];
  const auto& b = (*rows)[2];
  for (std::size_t i = 0; i < in.size(); i += 3) {
    out[i] = r[in[i]];
    out[i + 1] = g[in[i + 1]];
    out[i + 2] = b[in[i + 2]];
  }
}

std::vector<std::uint8_t> ColorCorrect::apply(std::span<const std::uint8_t> rgb) const {
  std::vector<std::uint8_t> out(rgb.size());
  apply(rgb, out);
  return out;
}

std::string ColorCorrect::describe() const {
  if (!is_lut()) {
    if (!gain || !bias) throw std::logic_error("a gain and bias colour correction without its gain or bias");
    return "per-channel gain=" + values_text(*gain) + " bias=" + values_text(*bias);
  }
  if (!lut) throw std::logic_error("a \"lut\" colour correction without its table");
  std::string parts;
  const char letters[] = "RGB";
  for (std::size_t k = 0; k < 3; ++k) {
    int max = 0, sum = 0;
    for (int v = 0; v < 256; ++v) {
      const int d = std::abs(static_cast<int>((*lut)[k][static_cast<std::size_t>(v)]) - v);
      max = std::max(max, d);
      sum += d;
    }
    // The mean is exact in binary (a sum over 256), and %.1f rounds the exact value with ties to even.
    char mean[32];
    std::snprintf(mean, sizeof mean, "%.1f", sum / 256.0);
    if (k) parts += '/';
    parts += letters[k];
    parts += " max " + std::to_string(max) + " mean " + mean;
  }
  return "per-channel LUT (model->driver), deviation from identity: " + parts;
}

ColorResult parse_color_correct(std::optional<std::string_view> raw, std::string_view source) {
  if (!raw) return {nullptr, "this container carries no " + MEMBER};
  json::Value doc;
  try {
    doc = json::parse(*raw);
  } catch (const json::Error& e) {
    return {nullptr, MEMBER + " is present but is not parsable json (" + e.what() + ") " + std::string(DASH) +
                         " refusing to invent an identity LUT"};
  }
  return parse_color_correct(doc, source);
}

ColorResult parse_color_correct(const json::Value& cc, std::string_view source) {
  if (!cc.is_object())
    return {nullptr, MEMBER + " is present but is not a json object (got " + cc.type_name() + ")"};
  if (const json::Value* lut = cc.find("lut")) return parse_lut(*lut, source);
  const json::Value* gain = cc.find("gain");
  const json::Value* bias = cc.find("bias");
  if (gain && bias) return parse_gain_bias(*gain, *bias, source);
  std::vector<std::string> keys;
  for (const auto& [k, v] : cc.as_object()) keys.push_back(k);
  std::sort(keys.begin(), keys.end());  // byte order of UTF-8 is code point order
  return {nullptr, MEMBER + " is present but carries neither a 'lut' nor a 'gain'+'bias' (keys: " + py_repr(keys) + ")"};
}

ColorResult load_color_correct(const std::string& bundle) {
  const std::string prefix(COLOR_LOG_PREFIX);
  const std::string dash(DASH);
  if (!env_switch_on(COLOR_ENV.data()))
    return {nullptr, prefix + " DISABLED by " + std::string(COLOR_ENV) + "=0 " + dash +
                         " the frames are the RAW model output and will NOT match a live session's colours. This "
                         "switch exists to isolate the renderer for measurement; it is not a serving mode."};
  const auto member = member_bytes(bundle, {COLOR_MEMBER});
  auto parsed = parse_color_correct(member ? std::optional<std::string_view>(member->bytes) : std::nullopt,
                                    bundle + "!" + MEMBER);
  if (!parsed.cc)
    return {nullptr, prefix + " NOT APPLIED " + dash + " " + parsed.text +
                         ". The frames are the raw model output. A container carries the correction only if its "
                         "producer packed one, so this says nothing about whether the identity HAS one; it is not an "
                         "error and the render proceeds."};
  std::string line = prefix + " APPLIED " + dash + " " + parsed.cc->describe();
  return {std::move(parsed.cc), std::move(line)};
}

std::optional<ColorDescriptor> color_descriptor(const ColorCorrect* cc) {
  if (cc == nullptr) return std::nullopt;
  std::string bytes;
  if (cc->is_lut()) {
    if (!cc->lut) throw std::logic_error("a \"lut\" colour correction without its table");
    for (const auto& row : *cc->lut) bytes.append(reinterpret_cast<const char*>(row.data()), row.size());
  } else {
    if (!cc->gain || !cc->bias) throw std::logic_error("a gain and bias colour correction without its gain or bias");
    for (const auto* values : {&*cc->gain, &*cc->bias})
      for (const float f : *values) {
        const auto u = std::bit_cast<std::uint32_t>(f);
        for (int k = 0; k < 4; ++k) bytes.push_back(static_cast<char>((u >> (8 * k)) & 0xff));
      }
  }
  return ColorDescriptor{cc->kind, sha256_hex(bytes)};
}

}  // namespace velmora::ostrand
