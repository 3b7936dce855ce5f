// Unpacks one avatar file into a folder, for tests that watch the unpacking process from outside (its peak
// memory): unfold_avatar <avatar file> <existing empty folder> [most bytes]. Status 0, or 1 with the error.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <limits>

#include "velmora/outside/unfold_imx.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: unfold_avatar <avatar file> <folder> [most bytes]\n");
    return 2;
  }
  const std::uint64_t most = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : std::numeric_limits<std::uint64_t>::max();
  try {
    velmora::detail::unfold_imx(argv[1], argv[2], most);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
