#pragma once
// The stream protocol between the render host and the engine adapter that started it.
//
// Standard output (host -> adapter):
//   hello line, once:  "READY " + compact JSON {"fps":..,"width":..,"height":..,"sample_rate":..,"color":..} + "\n"
//   frame record:      int32 LE frame index (>= 0), then FH x FW x 3 bytes of RGB888, row-major, no padding
//   end-of-flush:      int32 LE -1 (FF FF FF FF), no frame bytes; ends every answer to a flush request
// Standard input (adapter -> host): a 4-byte unsigned LE step header `word`, tested in this order:
//   0xFFFFFFFF          flush: the frames still owed, then the end-of-flush marker
//   0xFFFFFFFE          reset: a new stream; nothing is written
//   > MAX_STEP_SAMPLES  protocol desync: the host ends with status 1
//   0 .. MAX_STEP_SAMPLES  `word` float32 LE samples at 16 kHz follow
// Flush points: after the hello line, after every non-empty batch of frame records, after each end marker.
#include <cstdint>

namespace velmora::ostrand {

inline constexpr std::uint32_t STEP_FLUSH = 0xFFFFFFFFu;
inline constexpr std::uint32_t STEP_RESET = 0xFFFFFFFEu;
inline constexpr std::uint32_t MAX_STEP_SAMPLES = 0x1000000u;  // 16,777,216 samples (64 MiB) at the most
inline constexpr std::int32_t END_OF_FLUSH_INDEX = -1;

}  // namespace velmora::ostrand
