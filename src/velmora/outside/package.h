#pragma once
// The package's outside modules as this build has them: the manifest reader, the container unpacker, the
// mirel-2 engine adapter with its host lookup, the stand-ins for the session and fixture runtimes, and the MP4
// writer. The unified engine adapter is not there (ImportError when needed).
//
// The one list of them: the registry starts with it at its first use; tests replace them for a scope.
#include "velmora/outside.h"

namespace velmora::detail {

Outside package_outside();

}  // namespace velmora::detail
