#include "velmora/outside/standin_fixture.h"

#include <sstream>
#include <stdexcept>
#include <string_view>

#include "common/bundle.h"
#include "common/file_read.h"
#include "common/pytext.h"

namespace velmora::detail {
namespace {

constexpr std::size_t HEADER_MAX_BYTES = 256;
constexpr std::size_t FIXTURE_MAX_BYTES = HEADER_MAX_BYTES * 64;

struct StandinFixture : NativeFixture {
  int width = 0, height = 0;
};

class StandinRuntime : public NativeRuntime {
 public:
  explicit StandinRuntime(std::shared_ptr<const StandinFixture> fx) : fx_(std::move(fx)) {}

  void push_audio(std::span<const float> samples) override { pending_ += samples.size(); }
  std::int64_t ticks_available() override {
    return static_cast<std::int64_t>(pending_ / StandinFixtureRuntime::SAMPLES_PER_FRAME);
  }
  Frame pull_frame() override {
    if (ticks_available() <= 0) throw std::logic_error("no frame is ready");
    pending_ -= StandinFixtureRuntime::SAMPLES_PER_FRAME;
    const std::size_t n = static_cast<std::size_t>(fx_->width) * static_cast<std::size_t>(fx_->height);
    std::shared_ptr<std::byte[]> bgr(new std::byte[n * 3]);
    for (std::size_t i = 0; i < n; ++i) {
      bgr[3 * i] = std::byte{0x20};
      bgr[3 * i + 1] = std::byte{0x80};
      bgr[3 * i + 2] = static_cast<std::byte>(next_ & 0xff);
    }
    Frame f;
    f.data = std::shared_ptr<const std::byte>(bgr, bgr.get());
    f.bytes = n * 3;
    f.shape = {static_cast<std::size_t>(fx_->height), static_cast<std::size_t>(fx_->width), 3};
    f.index = next_++;
    return f;
  }
  void reset_stream() override {
    pending_ = 0;
    next_ = 0;
  }

 private:
  std::shared_ptr<const StandinFixture> fx_;
  std::size_t pending_ = 0;
  std::int64_t next_ = 0;
};

// The fixture whose file begins with `text`, as its first line says; nullptr when that line is no fixture's.
std::shared_ptr<StandinFixture> fixture_of(std::string_view text) {
  std::istringstream in(std::string(text.substr(0, text.find('\n'))));
  std::string magic;
  auto fx = std::make_shared<StandinFixture>();
  if (!(in >> magic >> fx->width >> fx->height) || magic != FIXTURE_MAGIC || fx->width <= 0 || fx->height <= 0 ||
      fx->width > 4096 || fx->height > 4096) {
    return nullptr;
  }
  return fx;
}

std::runtime_error no_fixture(const std::string& source) {
  return std::runtime_error(py_repr(source) +
                            " is neither an avatar archive (an IMX container or zip archive with a manifest.json) nor "
                            "a fixture avatar (a file whose first line is \"" +
                            FIXTURE_MAGIC + " <width> <height>\")");
}

}  // namespace

std::shared_ptr<NativeFixture> StandinFixtureRuntime::load_fixture(const std::string& source, int, int) {
  // Only a source without a manifest comes here: the refusal says what an avatar would hold.
  if (path_is_dir(source)) {
    throw std::runtime_error(py_repr(source) +
                             " is a folder without manifest.json: an avatar folder holds its manifest.json at the top");
  }
  std::string text;
  try {
    text = read_file(source, FIXTURE_MAX_BYTES);
  } catch (const FileTooLarge&) {
    // The size limit is a fixture's: a larger file that does not start as one (an audio file, say) is refused
    // as no avatar at all.
    if (!fixture_of(read_file_head(source, FIXTURE_MAX_BYTES))) throw no_fixture(source);
    throw;
  }
  auto fx = fixture_of(text);
  if (!fx) throw no_fixture(source);
  return fx;
}

std::unique_ptr<NativeRuntime> StandinFixtureRuntime::make_runtime(std::shared_ptr<NativeFixture> fixture) {
  auto fx = std::dynamic_pointer_cast<const StandinFixture>(std::shared_ptr<const NativeFixture>(fixture));
  if (!fx) throw std::invalid_argument("not a fixture of this runtime");
  return std::make_unique<StandinRuntime>(std::move(fx));
}

}  // namespace velmora::detail
