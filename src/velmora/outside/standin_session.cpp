#include "velmora/outside/standin_session.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "velmora/audio_input.h"

namespace velmora::detail {
namespace {

constexpr std::size_t SAMPLES_PER_FRAME = session::BYTES_PER_FRAME / 2;

int side(const json::Value& manifest, const char* key, int fallback) {
  const json::Value* v = manifest.find(key);
  if (!v) return fallback;
  if (!v->int_fits() || v->as_int() <= 0 || v->as_int() > 4096) {
    throw session::EngineFailed("that avatar's session could not start",
                                std::string("manifest.json: \"") + key + "\" must be a whole number from 1 to 4096");
  }
  return static_cast<int>(v->as_int());
}

}  // namespace

StandinSession::StandinSession(const std::string&, const json::Value& manifest) {
  if (!manifest.is_object()) {
    throw session::EngineFailed("that avatar's session could not start", "manifest.json is not an object");
  }
  if (const json::Value* code = manifest.find("outdated"); code && code->is_string()) {
    throw session::AvatarOutdated("that avatar is outdated", code->as_string());
  }
  width_ = side(manifest, "width", DEFAULT_SIDE);
  height_ = side(manifest, "height", DEFAULT_SIDE);
}

void StandinSession::need_open() const {
  if (closed_) throw session::EngineFailed("the session is closed", "a call on a closed stand-in session");
}

void StandinSession::reset() {
  need_open();
  partial_.clear();
  odd_byte_.reset();
  made_.clear();
  next_index_ = 0;
  voiced_ = ended_ = rested_ = false;
}

void StandinSession::push(std::span<const std::uint8_t> chunk) {
  need_open();
  const WholeSamples w = whole_samples(chunk, odd_byte_);
  if (w.joined) add_sample(w.joined->data());
  for (std::size_t i = 0; i < w.whole.size(); i += 2) add_sample(w.whole.data() + i);
}

void StandinSession::add_sample(const std::uint8_t* bytes) {
  std::int16_t s;
  std::memcpy(&s, bytes, 2);
  partial_.push_back(s);
  if (partial_.size() < SAMPLES_PER_FRAME) return;
  double sum = 0;
  for (std::int16_t v : partial_) sum += std::abs(static_cast<int>(v));
  const double level = sum / static_cast<double>(partial_.size());
  partial_.clear();
  if (level >= VOICED_LEVEL) voiced_ = true;
  const int kind = voiced_ ? session::LE_UTT_SPEECH : KIND_LISTENING;
  made_.push_back({next_index_++, kind, static_cast<std::uint8_t>(std::min(255.0, level / 64.0))});
}

std::optional<session::Pulled> StandinSession::pull() {
  need_open();
  if (!ended_ && made_.size() <= static_cast<std::size_t>(LAG)) return std::nullopt;
  if (made_.empty()) {
    if (!ended_ || rested_) return std::nullopt;
    rested_ = true;
    return session::Pulled{make_frame({next_index_, session::LE_UTT_IDLE, 0}), session::LE_UTT_IDLE};
  }
  const Pending p = made_.front();
  made_.pop_front();
  return session::Pulled{make_frame(p), p.kind};
}

void StandinSession::end() {
  need_open();
  ended_ = true;
}

void StandinSession::close() { closed_ = true; }

Frame StandinSession::make_frame(const Pending& p) const {
  const std::size_t n = static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_);
  std::shared_ptr<std::byte[]> pixels(new std::byte[n * 3]);
  for (std::size_t i = 0; i < n; ++i) {
    pixels[3 * i] = static_cast<std::byte>(p.index & 0xff);
    pixels[3 * i + 1] = static_cast<std::byte>((p.index >> 8) & 0xff);
    pixels[3 * i + 2] = static_cast<std::byte>(p.level);
  }
  Frame f;
  f.data = std::shared_ptr<const std::byte>(pixels, pixels.get());
  f.bytes = n * 3;
  f.shape = {static_cast<std::size_t>(height_), static_cast<std::size_t>(width_), 3};
  f.type = ElementType::u8;
  f.index = p.index;
  return f;
}

}  // namespace velmora::detail
