#pragma once
// Sessions of the host's protocol for the end-to-end tests and benchmarks of the streaming renderer: the
// stand-in bundle that tarnhost serves on the LiteRT stand-in, the test audio of tests/fixtures/render_stream (the same
// formula as pipeline_reference.py), the bytes of a session's steps, and a reader of the host's output.
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "common/file_read.h"
#include "common/sha256.h"
#include "mirel2/ostrand/constants.h"
#include "mirel2/ostrand/protocol.h"
#include "mirel2/ostrand/support/chain_reference.h"
#include "standins/litert/standin_models.h"

namespace velmora::ostrand::testing {

inline const std::string TARNHOST = std::string(VELMORA_BIN_DIR) + "/tarnhost";

// A stand-in bundle directory in `dir`: the combined model with decoders of `dec_kernel`, the reference canon
// latent, and color.json when given. Returns the directory.
inline std::string write_standin_bundle(const std::filesystem::path& dir, const std::string& dec_kernel,
                                        const std::optional<std::string>& color_json = std::nullopt) {
  std::filesystem::create_directories(dir);
  velmora::testing::standin::write_model((dir / COMBINED_MEMBER).string(),
                                         velmora::testing::standin::combined_signatures(dec_kernel));
  const std::vector<float> canon = reference_canon();
  std::ofstream(dir / "canon.bin", std::ios::binary)
      .write(reinterpret_cast<const char*>(canon.data()), static_cast<std::streamsize>(canon.size() * sizeof(float)));
  if (color_json) std::ofstream(dir / COLOR_MEMBER, std::ios::binary) << *color_json;
  return dir.string();
}

// Sample g of the test audio, counted over everything a session sends: exact in float32.
inline float test_audio(std::int64_t g) {
  return static_cast<float>((g * 131 + (g / 400) * 7919) % 2001 - 1000) / 4096.0f;
}

// One step of a session: a feed of `samples` samples (the next ones of the test audio), a flush or a reset.
struct Step {
  enum Kind { Feed, Flush, Reset } kind;
  std::int64_t samples = 0;
};

inline std::vector<Step> steps_from_json(const nlohmann::json& steps) {
  std::vector<Step> out;
  for (const auto& s : steps) {
    const std::string kind = s[0].get<std::string>();
    if (kind == "feed")
      out.push_back({Step::Feed, s[1].get<std::int64_t>()});
    else
      out.push_back({kind == "flush" ? Step::Flush : Step::Reset, 0});
  }
  return out;
}

// The bytes on the host's standard input for `steps`.
inline std::string session_input(const std::vector<Step>& steps) {
  std::string in;
  auto word = [&](std::uint32_t v) { in.append(reinterpret_cast<const char*>(&v), 4); };
  std::int64_t sent = 0;
  for (const auto& s : steps) {
    if (s.kind == Step::Flush) {
      word(STEP_FLUSH);
    } else if (s.kind == Step::Reset) {
      word(STEP_RESET);
    } else {
      word(static_cast<std::uint32_t>(s.samples));
      const std::size_t at = in.size();
      in.resize(at + static_cast<std::size_t>(s.samples) * sizeof(float));
      for (std::int64_t i = 0; i < s.samples; ++i) {
        const float v = test_audio(sent + i);
        std::memcpy(in.data() + at + static_cast<std::size_t>(i) * sizeof(float), &v, sizeof v);
      }
      sent += s.samples;
    }
  }
  return in;
}

// A record as the tests compare it: the index, and the SHA-256 of the frame's bytes ("" for the end marker, or
// when the reader does not hash).
struct Record {
  std::int32_t index;
  std::string sha256;
  bool operator==(const Record&) const = default;
};

inline std::vector<Record> records_from_json(const nlohmann::json& records) {
  std::vector<Record> out;
  for (const auto& r : records) out.push_back({r[0].get<std::int32_t>(), r[1].is_null() ? "" : r[1].get<std::string>()});
  return out;
}

// Reads the host's standard output as it arrives: the hello line, then frame records and end markers.
class OutputReader {
 public:
  // `hash`: digest every frame; `keep`: keep every record (else only count them and check their order).
  explicit OutputReader(bool hash = true, bool keep = true) : hash_(hash), keep_(keep) {}

  void consume(std::string_view data) {
    while (!data.empty()) {
      if (!hello_done_) {
        const auto nl = data.find('\n');
        hello_.append(data.substr(0, nl == std::string_view::npos ? data.size() : nl + 1));
        if (nl == std::string_view::npos) return;
        hello_done_ = true;
        data.remove_prefix(nl + 1);
      } else if (remaining_ == 0) {
        const std::size_t take = std::min<std::size_t>(4 - index_bytes_.size(), data.size());
        index_bytes_.append(data.substr(0, take));
        data.remove_prefix(take);
        if (index_bytes_.size() < 4) return;
        std::int32_t index;
        std::memcpy(&index, index_bytes_.data(), 4);
        index_bytes_.clear();
        if (index < 0) {
          add({index, ""});
          ++markers_;
        } else {
          current_ = index;
          remaining_ = FRAME_BYTES;
          if (hash_) sha_ = std::make_unique<Sha256>();
        }
      } else {
        const std::size_t take = std::min(remaining_, data.size());
        if (hash_) sha_->update(data.data(), take);
        data.remove_prefix(take);
        remaining_ -= take;
        if (remaining_ == 0) {
          add({current_, hash_ ? sha_->hex_digest() : ""});
          sha_.reset();
          ++frames_;
        }
      }
    }
  }

  const std::string& hello() const { return hello_; }
  const std::vector<Record>& records() const { return records_; }
  std::int64_t frames() const { return frames_; }
  std::int64_t markers() const { return markers_; }
  // Frame indices that did not follow the one before (3 after a marker or at the start, else the last + 1).
  std::int64_t out_of_order() const { return out_of_order_; }
  std::int32_t last_index() const { return last_; }
  // A record cut short at the end of the output.
  bool partial() const { return remaining_ != 0 || !index_bytes_.empty(); }

 private:
  void add(const Record& r) {
    if (r.index >= 0) {
      if (last_ >= 0 && r.index != last_ + 1 && r.index != 3) ++out_of_order_;
      last_ = r.index;
    }
    if (keep_) records_.push_back(r);
  }

  bool hash_, keep_;
  bool hello_done_ = false;
  std::string hello_;
  std::string index_bytes_;
  std::int32_t current_ = 0;
  std::size_t remaining_ = 0;
  std::unique_ptr<Sha256> sha_;
  std::vector<Record> records_;
  std::int64_t frames_ = 0, markers_ = 0, out_of_order_ = 0;
  std::int32_t last_ = -1;
};

// tests/fixtures/render_stream/reference.json, which make_reference.py wrote.
inline const nlohmann::json& render_stream_reference() {
  static const nlohmann::json ref =
      nlohmann::json::parse(read_file(VELMORA_SOURCE_DIR "/tests/fixtures/render_stream/reference.json"));
  return ref;
}

}  // namespace velmora::ostrand::testing
