#pragma once
// The render host's constants: every timing, shape, member name and environment variable name in one place.
// Other files name these and never repeat their values.
#include <array>
#include <cstddef>
#include <string_view>

namespace velmora::ostrand {

// Colour correction (bundle member, switch, log line).
inline constexpr std::string_view COLOR_MEMBER = "color.json";
inline constexpr std::string_view COLOR_ENV = "MIREL2_COLOR_CORRECT";
inline constexpr std::string_view COLOR_LOG_PREFIX = "colour-correct:";

// Timing: 16 kHz mono in, 20 frames per second out, 800 samples per frame.
inline constexpr int SR = 16000;
inline constexpr int SPF = 800;
inline constexpr int SPC = 25600;            // samples per steady chunk: STEADY_PX frames
inline constexpr int FPS = 20;
inline constexpr int WIN_SAMPLES = 44000;    // audio window of one chunk (2.75 s)
inline constexpr int TEMPO_SAMPLES = 35200;  // the window after the 1.25 tempo stretch: the encoder's input
inline constexpr int CHUNK0_LAT = 6;         // latent steps of a stream's first chunk
inline constexpr int STEADY_LAT = 8;         // latent steps of every later chunk
inline constexpr int STEADY_PX = 32;         // frames of every later chunk; the chunk stride
inline constexpr int PRESENT_DELAY_FRAMES = 1;

// Latent and token shapes.
inline constexpr int LC = 16;
inline constexpr int LH = 90;
inline constexpr int LW = 52;
inline constexpr int CTX = 16;
inline constexpr int NA = 16;
inline constexpr int CA = 384;
inline constexpr int PLANE = LH * LW;       // 4680 values per latent channel
inline constexpr int CANON_SIZE = LC * PLANE;  // 74,880 float32 values in the canon latent

// Frames: 416 x 720 RGB888 (416 pixels wide, 720 high), stored row by row: FH rows of FW pixels.
inline constexpr int FH = 720;
inline constexpr int FW = 416;
inline constexpr std::size_t FRAME_BYTES = std::size_t{FH} * FW * 3;  // 898,560

// Tempo stretch (WSOLA).
inline constexpr int SR_WSOLA_SEGMENT = 1312;
inline constexpr int SR_WSOLA_OVERLAP = 192;
inline constexpr int SR_WSOLA_SEARCH = 235;

// Signatures the model files of one identity offer between them, in this order.
inline constexpr std::array<std::string_view, 5> SIGS = {"enc", "tok14", "step", "dec16", "dec8"};

inline constexpr std::string_view RGB_THREADS_ENV = "MIREL2_RGB_THREADS";

// Model members and the int8 decoder's switch.
inline constexpr std::string_view COMBINED_MEMBER = "combined_litert.tflite";
inline constexpr std::string_view Q8GD_MEMBER = "combined_litert_q8gd.tflite";
inline constexpr std::string_view Q8GD_HEADER_KEY = "litert_q8gd";
inline constexpr std::string_view Q8GD_ENV = "MIREL2_Q8GD";
inline constexpr std::array<std::string_view, 2> INT8_DOT_FLAGS = {"avx512_vnni", "avx_vnni"};
inline constexpr std::string_view Q8GD_LOG = "[q8gd]";

// The bundle's manifest, and where staged model files go.
inline constexpr std::string_view MANIFEST_MEMBER = "manifest.json";
inline constexpr std::string_view STAGE_DIR_ENV = "MIREL2_STAGE_DIR";

}  // namespace velmora::ostrand
