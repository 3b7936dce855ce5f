#pragma once
// UTF-8 bytes decoded the way Python's bytes.decode("utf-8", "replace") decodes them: every maximal invalid
// subsequence becomes one U+FFFD (overlong forms, surrogates and values beyond U+10FFFF are invalid).
#include <string>
#include <string_view>

namespace velmora {

// Valid UTF-8 text: `bytes` with each invalid subsequence replaced by U+FFFD.
std::string utf8_decode_replace(std::string_view bytes);

// Appends code point `cp` (at most U+10FFFF; surrogates are written as 3-byte sequences, as Python keeps them
// in text) to `out` as UTF-8.
void utf8_append(std::string& out, char32_t cp);

// True when `bytes` is valid UTF-8 as Python's strict decoder sees it (NUL allowed).
bool utf8_valid(std::string_view bytes);

}  // namespace velmora
