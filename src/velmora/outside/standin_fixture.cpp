#include "velmora/outside/standin_fixture.h"

#include <sstream>
#include <stdexcept>

#include "common/bundle.h"
#include "common/file_read.h"
#include "common/pytext.h"

namespace velmora::detail {
namespace {

constexpr std::size_t HEADER_MAX_BYTES = 256;

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

}  // namespace

std::shared_ptr<NativeFixture> StandinFixtureRuntime::load_fixture(const std::string& source, int, int) {
  // Only a source without a manifest comes here: the refusal says what an avatar would hold.
  if (path_is_dir(source)) {
    throw std::runtime_error(py_repr(source) +
                             " is a folder without manifest.json: an avatar folder holds its manifest.json at the top");
  }
  std::string head = read_file(source, HEADER_MAX_BYTES * 64);
  head = head.substr(0, head.find('\n'));
  std::istringstream in(head);
  std::string magic;
  auto fx = std::make_shared<StandinFixture>();
  if (!(in >> magic >> fx->width >> fx->height) || magic != FIXTURE_MAGIC || fx->width <= 0 || fx->height <= 0 ||
      fx->width > 4096 || fx->height > 4096) {
    throw std::runtime_error(py_repr(source) +
                             " is neither an avatar archive (an IMX container or zip archive with a manifest.json) nor "
                             "a fixture avatar (a file whose first line is \"" +
                             FIXTURE_MAGIC + " <width> <height>\")");
  }
  return fx;
}

std::unique_ptr<NativeRuntime> StandinFixtureRuntime::make_runtime(std::shared_ptr<NativeFixture> fixture) {
  auto fx = std::dynamic_pointer_cast<const StandinFixture>(std::shared_ptr<const NativeFixture>(fixture));
  if (!fx) throw std::invalid_argument("not a fixture of this runtime");
  return std::make_unique<StandinRuntime>(std::move(fx));
}

}  // namespace velmora::detail
