#pragma once
// A stand-in for the native fixture runtime (the real one is not part of this system). A fixture avatar is a
// file whose first line is "vantor1-fixture <width> <height>"; its runtime makes one frame per 640 samples
// pushed (25 frames per second), in blue, green, red order: blue 0x20, green 0x80, red the frame number's low
// byte.
#include <atomic>
#include <memory>
#include <string>

#include "velmora/fixture.h"

namespace velmora::detail {

inline constexpr const char* FIXTURE_MAGIC = "vantor1-fixture";

class StandinFixtureRuntime : public FixtureRuntime {
 public:
  static constexpr std::size_t SAMPLES_PER_FRAME = 640;

  void register_default_audio_encoder() override { ++encoder_registrations; }
  int default_threads() override { return 1; }
  // Throws std::runtime_error for a file that is not a fixture, FileTooLarge for a fixture file of more than
  // 16 KiB, std::system_error when it cannot be read.
  std::shared_ptr<NativeFixture> load_fixture(const std::string& source, int preferred_ep,
                                              int intra_op_threads) override;
  std::unique_ptr<NativeRuntime> make_runtime(std::shared_ptr<NativeFixture> fixture) override;

  std::atomic<int> encoder_registrations{0};
};

}  // namespace velmora::detail
