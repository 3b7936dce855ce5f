#pragma once
// The stream server: hello line, then one answer per step header until the input ends (status 0) or a step
// header is out of range (status 1). Errors of the renderer and of the output stream propagate.
#include <functional>
#include <string_view>

#include "mirel2/ostrand/renderer_api.h"
#include "mirel2/ostrand/stream_io.h"

namespace velmora::ostrand {

struct ServerIo {
  InStream& in;
  OutStream& out;
  std::function<double()> clock;  // monotonic seconds; the statistics line's clock
};

// A monotonic high-resolution clock in seconds.
double monotonic_seconds();

// The hello line, "READY " + compact JSON + "\n".
std::string hello_line(const std::optional<ColorDescriptor>& color);

// The statistics line: "rtf=%.3f chunks=%d fps=%.1f". A chunk that took no measurable time gives "fps=inf".
std::string stats_line(double rtf, long chunks, double seconds);

// Serves the protocol on `io` until the input ends. `model_label` appears in the ready log line only.
int serve(StreamRenderer& renderer, std::string_view model_label, ServerIo io);

}  // namespace velmora::ostrand
