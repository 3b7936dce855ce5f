#pragma once
// Frame and audio geometry, bin edges and column sets shared by the unified renderer's stages.
#include <array>
#include <cstdint>
#include <utility>

namespace velmora::v2u {

inline constexpr int HOP = 640;     // audio samples per video frame
inline constexpr int C = 4;         // frames per motion token
inline constexpr int SWIN = 32000;  // samples in the audio encoder's standardised window
inline constexpr int TW = 200;      // anchor window of the trunk column mapping, in frames
// Trunk columns per frame after the anchor frame: the double nearest 1598/199, deliberately not 8.
inline constexpr double SP8 = 1598.0 / 199.0;
// Half-open head-output row ranges averaged into the three 768-wide rows of a frame's features.
inline constexpr std::array<std::pair<int, int>, 3> GROUPS{{{0, 4}, {4, 8}, {8, 12}}};
// Edges, in frames, of the 13 time-since-onset bins of tau_feat.
inline constexpr std::array<std::int64_t, 14> TBINS{0, 4, 8, 12, 16, 20, 25, 30, 38, 50, 63, 88, 125, 1000000000};
inline constexpr int BURN = 200;  // burn-in samples of each AR(2) noise channel
inline constexpr std::array<int, 3> ROT{63, 64, 65};  // rotation-vector columns of a motion row
inline constexpr int LEGACY_TRUNK_CROP_R = 5;          // trunk crop radius when the pack gives none
inline constexpr std::array<int, 2> ROWS_L{11, 13};    // keypoints taken from the left-eye bank entry
inline constexpr std::array<int, 2> ROWS_R{15, 16};    // keypoints taken from the right-eye bank entry
inline constexpr int MOTION_COLUMNS = 69;              // columns of a motion row
inline constexpr int KEYPOINTS = 21;                   // driven keypoints per frame

}  // namespace velmora::v2u
