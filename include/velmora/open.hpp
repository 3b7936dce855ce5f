#pragma once
// Opening an avatar: the way into the Avatar API.
#include <filesystem>
#include <stop_token>

#include "velmora/avatar.hpp"
#include "velmora/export.hpp"

namespace velmora {

// The avatar at `source` (an avatar file or an unpacked avatar folder on this machine), with the engine of its
// family built and ready. The path is used as given (not made absolute).
//
// Throws InvalidAvatar "open() needs an avatar to open" for an empty path, "no avatar at <source>" when nothing
// is there, and "that is not a usable avatar" (detail: the file error) when it cannot be read as an avatar;
// NotSupported when the source is the code of an avatar held by the service (the message says how to fetch
// it) or when this machine cannot run the avatar; for failures while the engine is built, NotSupported,
// InvalidAvatar, Outdated or Failed "could not prepare that avatar"; ImportError when this build has no engine
// for the avatar's family (the message names the family).
//
// A "mirel2" avatar renders through the render host program `tarnhost`, started as a child process. It is
// looked for, in this order: in the folder of the velmora library itself (or of the program that has it linked
// in), in the bin folder of the installation that library belongs to (<prefix>/bin beside <prefix>/lib), and
// on PATH. Without one, opening such an avatar is NotSupported.
//
// Packed avatar files of the session-based and unified families are unpacked once into the avatar cache
// (VELMORA_CACHE_DIR, else ~/.cache/velmora; capped by VELMORA_AVATAR_CACHE_GB, 10 by default), which every
// process of the user shares.
//
// Thread safety: may be called from several threads at once; opening an avatar that is already in the cache
// never waits for another thread's unpacking of a different one.
VELMORA_API Avatar open(const std::filesystem::path& source);

// The same, stopped through `stop` (asked from any thread, or before the call): a render host that is starting
// is ended at once, with time for its clean-up (0.3 s before SIGKILL), and open throws Cancelled, within a
// second whatever the host does. The hash and the unpack of a packed avatar into the cache watch `stop` too:
// open then throws Cancelled within a second, and nothing that unpack wrote stays in the cache. Its what() is
// "opening the avatar was cancelled" (Cancelled::opening()).
VELMORA_API Avatar open(const std::filesystem::path& source, std::stop_token stop);

}  // namespace velmora
