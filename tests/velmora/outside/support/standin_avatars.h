#pragma once
// Avatars and audio for the tests that render through the package's own wiring.
#include <cstdint>
#include <vector>

#include "support/bundle_fixture.h"

namespace velmora::testing {

// A mirel-2 bundle on the LiteRT stand-in, with a canon latent that is not all zeros, so the frames carry
// something of it. `load_seconds`: how long the host's model takes to load (a slow start).
BundleFixture mirel2_bundle(double load_seconds = 0);

// `seconds` of a 220 Hz tone at a speaking level.
std::vector<std::int16_t> tone(double seconds, double amplitude = 8000);

}  // namespace velmora::testing
