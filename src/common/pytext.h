#pragma once
// Python text behaviours that show in messages and paths: repr of a text and of a list of texts, code-point
// prefixes of UTF-8 text, and os.path.join / basename on POSIX.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace velmora {

// Python repr() of a str: single quotes, or double quotes when the text holds ' and no "; backslash, \n, \r, \t
// escaped, other C0 controls and DEL as \xhh. Bytes of 0x80 and above pass through unchanged.
std::string py_repr(std::string_view text);

// Python repr() of a bytes object: b'...' (double quotes when it holds ' and no "), backslash, the quote,
// \t, \n and \r escaped, other bytes outside 0x20 .. 0x7e as \xhh.
std::string py_bytes_repr(std::string_view bytes);

// Python repr() of a list of str: "['a', 'b']".
std::string py_repr(const std::vector<std::string>& items);

// The first `n` code points of UTF-8 text (Python's text[:n]). Bytes that are not valid UTF-8 count one each.
std::string utf8_prefix(std::string_view text, std::size_t n);

// os.path.join(a, b) on POSIX: b when b is absolute, else a + "/" + b (no slash added when a is empty or ends in one).
std::string path_join(std::string_view a, std::string_view b);

// os.path.basename on POSIX: everything after the last "/".
std::string_view path_basename(std::string_view path);

}  // namespace velmora
