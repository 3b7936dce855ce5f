#pragma once
// Tables of NumPy's 256-level ziggurat for standard normal doubles, generated from Debian's NumPy by
// ziggurat_tables.py (beside this file) into ziggurat_tables.cpp.
#include <cstdint>

namespace velmora::detail {

extern const double ZIGGURAT_NOR_R;      // where the tail begins
extern const double ZIGGURAT_NOR_INV_R;  // 1 / ZIGGURAT_NOR_R as NumPy rounds it
extern const std::uint64_t ZIGGURAT_KI[256];
extern const double ZIGGURAT_WI[256];
extern const double ZIGGURAT_FI[256];

}  // namespace velmora::detail
