#pragma once
// Opening an avatar: the way into the Avatar API.
#include <filesystem>

#include "velmora/avatar.hpp"

namespace velmora {

// The avatar at `source` (an avatar file or an unpacked avatar folder on this machine), with the engine of its
// family built and ready. The path is used as given (not made absolute).
//
// Throws InvalidAvatar "open() needs an avatar to open" for an empty path, "no avatar at <source>" when nothing
// is there, and "that is not a usable avatar" (detail: the file error) when it cannot be read as an avatar;
// NotSupported when the source is the code of an avatar held by the service (the message says how to fetch
// it) or when this machine cannot run the avatar; for failures while the engine is built, NotSupported,
// InvalidAvatar, Outdated or Failed "could not prepare that avatar"; ImportError when the engine family's
// module is not installed in this process.
Avatar open(const std::filesystem::path& source);

}  // namespace velmora
