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
//
// Chunk schedule, which a peer may count on: in a stream (from the start or a reset) chunk 0 is rendered once
// SPC samples have arrived, chunk 1 once WIN_SAMPLES have, and every later chunk SPC samples after the one
// before; the answer to a sample step holds the records of every chunk the step completed. Chunk 0 gives
// FIRST_CHUNK_RECORDS records, every later chunk STEADY_PX. A flush renders the chunks still owed.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "mirel2/ostrand/constants.h"

namespace velmora::ostrand {

inline constexpr std::string_view HELLO_PREFIX = "READY ";
inline constexpr std::size_t HELLO_MAX_BYTES = 65536;  // a first line longer than this is no hello line
// A stream's frame records are numbered from FIRST_FRAME_INDEX, its first frame sent twice, so frame slot s
// (the s-th SPF samples) is record s + FIRST_SLOT_RECORD.
inline constexpr std::int32_t FIRST_FRAME_INDEX = 3;
inline constexpr std::int64_t FIRST_SLOT_RECORD = FIRST_FRAME_INDEX + 1;
inline constexpr std::uint32_t STEP_FLUSH = 0xFFFFFFFFu;
inline constexpr std::uint32_t STEP_RESET = 0xFFFFFFFEu;
inline constexpr std::uint32_t MAX_STEP_SAMPLES = 0x1000000u;  // 16,777,216 samples (64 MiB) at the most
inline constexpr std::int32_t END_OF_FLUSH_INDEX = -1;
inline constexpr std::uint64_t FIRST_CHUNK_RECORDS = 22;  // chunk 0's 21 frames, its first frame twice

// The frame records the host sends for the first `fed` samples of a stream, flush aside.
constexpr std::uint64_t records_for_samples(std::uint64_t fed) {
  constexpr auto spc = static_cast<std::uint64_t>(SPC), window = static_cast<std::uint64_t>(WIN_SAMPLES);
  if (fed < spc) return 0;
  const std::uint64_t chunks = fed < window ? 1 : 2 + (fed - window) / spc;
  return FIRST_CHUNK_RECORDS + (chunks - 1) * static_cast<std::uint64_t>(STEADY_PX);
}
static_assert(records_for_samples(SPC - 1) == 0 && records_for_samples(SPC) == 22 &&
              records_for_samples(WIN_SAMPLES) == 54 && records_for_samples(WIN_SAMPLES + SPC) == 86);

}  // namespace velmora::ostrand
