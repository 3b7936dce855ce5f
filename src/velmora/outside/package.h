#pragma once
// The package's outside modules as this build installs them: the manifest reader, the container unpacker,
// the mirel-2 engine adapter with its host lookup, the stand-ins for the session and fixture runtimes, and
// the MP4 writer. The unified engine adapter is not installed (ImportError when needed).
//
// Linking the library velmora_package installs them when the program starts; tests replace them for a scope.
#include "velmora/outside.h"

namespace velmora::detail {

Outside package_outside();

}  // namespace velmora::detail
