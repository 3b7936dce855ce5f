#pragma once
// The registry of outside modules: the engine adapters, runtimes, manifest reader, container unpacker and
// video writer that the Avatar API calls but does not build on. The API asks the registry at the moment it
// needs one, and a service that is not installed is an ImportError there, so a build that lacks one engine
// family can still open the others.
//
// The registry fills itself with this build's own services (outside/package.h) at its first use; tests replace
// them for a scope (ScopedOutside). A caller takes a snapshot and keeps it for the operation, so a replacement
// never changes a service under a running call.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>

#include "common/json.h"
#include "velmora/audio.hpp"
#include "velmora/avatar.hpp"
#include "velmora/errors.hpp"
#include "velmora/module.h"
#include "velmora/session.hpp"

namespace velmora {
class Engine;
}  // namespace velmora

namespace velmora::detail {

class FixtureRuntime;  // the native fixture runtime's interface

// What the ImportError for a missing service says; an engine family's says so through no_engine_message.
inline constexpr const char* NO_MANIFEST_READER = "this build has no avatar manifest reader";
inline constexpr const char* NO_HOST_LOOKUP = "this build has no render host lookup";
inline constexpr const char* NO_UNPACKER = "this build has no avatar unpacker";
inline constexpr const char* NO_VIDEO_WRITER = "this build has no video file writer";

struct Outside {
  // The avatar's parsed manifest, or nothing when it has none; std::system_error when it cannot be read.
  std::function<std::optional<json::Value>(const std::string& source)> read_manifest;
  // The engine id a manifest names.
  std::function<std::string(const json::Value& manifest)> resolve_engine;
  // The mirel-2 engine adapter on an avatar file; Cancelled when `stop` is asked while it starts its host.
  std::function<std::unique_ptr<Engine>(const std::string& source, std::stop_token stop)> mirel2_engine;
  // The render host program available on this machine, or nothing.
  std::function<std::optional<std::string>()> bundled_host;
  // The unified engine adapter on an unpacked avatar folder.
  std::function<std::unique_ptr<Engine>(const std::string& folder)> v2u_engine;
  // Unpacks the avatar file `source` into the folder `dest` (manifest.json at its top), `max_bytes` at the
  // most; std::system_error for read and write failures and for an avatar larger than that, Cancelled soon
  // after `stop` is asked, another exception for a file that is not a usable avatar.
  std::function<void(const std::string& source, const std::string& dest, std::uint64_t max_bytes, std::stop_token stop)>
      unfold_imx;
  // A session of the session runtime on an unpacked avatar folder and its parsed manifest.
  std::function<std::unique_ptr<session::Session>(const std::string& folder, const json::Value& manifest)>
      session_runtime;
  // The native fixture runtime.
  std::shared_ptr<FixtureRuntime> fixture_runtime;
  // Renders `audio` through `avatar` into a video file, passing `stop` to the render and reporting to
  // `progress` (when set) after every frame; returns the frame count.
  std::function<std::int64_t(Avatar& avatar, AudioInput audio, const std::string& out_path, std::stop_token stop,
                             const ProgressFn& progress)>
      mp4_writer;
};

// The services installed now (never null).
std::shared_ptr<const Outside> outside();

// Replaces every service for the whole process.
void install_outside(Outside services);

// Replaces every service while it lives, then puts the previous ones back.
class ScopedOutside {
 public:
  explicit ScopedOutside(Outside services);
  ~ScopedOutside();
  ScopedOutside(const ScopedOutside&) = delete;
  ScopedOutside& operator=(const ScopedOutside&) = delete;

 private:
  std::shared_ptr<const Outside> previous_;
};

// The installed `service`, or ImportError `missing`.
template <class Service>
const Service& need(const Service& service, const char* missing) {
  if (!service) throw ImportError(missing);
  return service;
}

// The installed engine `service` of `family`, or ImportError saying that this build has no engine for it.
template <class Service>
const Service& need(const Service& service, const EngineIdSet& family) {
  if (!service) throw ImportError(no_engine_message(family));
  return service;
}

}  // namespace velmora::detail
