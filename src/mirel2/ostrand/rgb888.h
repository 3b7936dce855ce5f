#pragma once
// Decoded frames to RGB888. A decoded frame is three planes (R, G, B) of FH x FW float32, nominally in [0, 1];
// an RGB888 frame is FH rows of FW pixels of three bytes, R, G, B (FRAME_BYTES). A value v becomes the whole
// part of float32(v * 255) clipped to [0, 255] (1.0 gives 255, 0.5 gives 127, 0.999 gives 254, NaN gives 0),
// then the colour correction's table for its channel. A gain and bias correction gives the bytes its apply()
// gives, so frames are the same whichever way a correction is applied.
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "mirel2/ostrand/color_correct.h"
#include "mirel2/ostrand/host_state.h"

namespace velmora::ostrand {

// Worker count of the RGB conversion: MIREL2_RGB_THREADS when it holds an integer (at least 1, no upper
// limit), else one per three usable CPUs, 1 to 8. A value that is no integer is logged, and the default used.
int rgb_threads();
// The same from the variable's value (nothing when unset) and the usable CPU count.
int rgb_threads_from(std::optional<std::string_view> raw, int cpus);

// One decoded frame (3 x FH x FW values) as a new RGB888 frame, corrected by `cc` when given. Throws
// std::invalid_argument for a frame of another size.
std::vector<std::uint8_t> px_to_rgb888(std::span<const float> px_chw, const ColorCorrect* cc = nullptr);

// Converts the frames of one chunk into `out` (px.size() x FRAME_BYTES, frame i at i x FRAME_BYTES), corrected
// by `cc` when given. With threads <= 1, or a single frame, the calling thread converts; otherwise the frames
// are cut into contiguous ranges of ceil(n / w) frames, w = min(n, threads), converted on the process's pool
// (made with w threads when there is none yet, else shared whatever its size), and the call returns once every
// range has finished. A frame that is not 3 x FH x FW values is an error (std::invalid_argument): one worker
// stops at it; several finish every range first, then the error of the first failed range is thrown. `out`
// of another size is std::invalid_argument before anything is converted. Nothing is allocated per frame.
void px_to_rgb888_chunk(std::span<const std::span<const float>> px, const ColorCorrect* cc, int threads,
                        std::span<std::uint8_t> out, RgbPoolSlot& pool = host_state().rgb_pool);

namespace detail {

// Whether conversions run on the vector kernel (processors with AVX2); else they run on the portable one.
bool rgb_vector_kernel();
// px_to_rgb888 on the portable kernel, whatever the processor: the two kernels give the same bytes.
std::vector<std::uint8_t> px_to_rgb888_portable(std::span<const float> px_chw, const ColorCorrect* cc = nullptr);

}  // namespace detail

}  // namespace velmora::ostrand
