#pragma once
// The lines of a text, for tests that read logs and line-based records.
#include <string>
#include <string_view>
#include <vector>

namespace velmora::testing {

// Each line of `text` without its "\n"; a last line without one is dropped (it is not complete yet).
inline std::vector<std::string> split_lines(std::string_view text) {
  std::vector<std::string> out;
  for (std::size_t at = 0, nl; (nl = text.find('\n', at)) != std::string_view::npos; at = nl + 1)
    out.emplace_back(text.substr(at, nl - at));
  return out;
}

}  // namespace velmora::testing
