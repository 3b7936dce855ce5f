#pragma once
// The registry of outside modules: the engine adapters, runtimes, manifest reader, container unpacker and
// video writer that the Avatar API calls but does not contain. The API never links them; it asks the
// registry at the moment it needs one, and a service that is not installed is an ImportError there, so a
// process that lacks one engine family can still open the others.
//
// The package's wiring installs the services once (install_outside); tests replace them for a scope
// (ScopedOutside). A caller takes a snapshot and keeps it for the operation, so a replacement never changes
// a service under a running call.
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
#include "velmora/session.hpp"

namespace velmora {
class Engine;
}  // namespace velmora

namespace velmora::detail {

class FixtureRuntime;  // the native fixture runtime's interface

// The module each service stands for; its name is the one an ImportError gives.
inline constexpr const char* MANIFEST_MODULE = "velmora._imx_engine";
inline constexpr const char* MIREL2_MODULE = "velmora._mirel2";
inline constexpr const char* BUNDLED_HOST_MODULE = "velmora._mirel2._apple";
inline constexpr const char* V2U_MODULE = "velmora._v2u";
inline constexpr const char* UNFOLD_MODULE = "velmora._offline";
inline constexpr const char* SESSION_MODULE = "velmora._session";
inline constexpr const char* FIXTURE_MODULE = "velmora._core";
inline constexpr const char* WRITER_MODULE = "velmora.__main__";

struct Outside {
  // The avatar's parsed manifest, or nothing when it has none; std::system_error when it cannot be read.
  std::function<std::optional<json::Value>(const std::string& source)> read_manifest;
  // The engine id a manifest names.
  std::function<std::string(const json::Value& manifest)> resolve_engine;
  // The mirel-2 engine adapter on an avatar file.
  std::function<std::unique_ptr<Engine>(const std::string& source)> mirel2_engine;
  // The render host program available on this machine, or nothing.
  std::function<std::optional<std::string>()> bundled_host;
  // The unified engine adapter on an unpacked avatar folder.
  std::function<std::unique_ptr<Engine>(const std::string& folder)> v2u_engine;
  // Unpacks the avatar file `source` into the folder `dest` (manifest.json at its top); std::system_error
  // for read and write failures, another exception for a file that is not a usable avatar.
  std::function<void(const std::string& source, const std::string& dest)> unfold_imx;
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

// The installed `service`, or ImportError "No module named '<module>'".
template <class Service>
const Service& need(const Service& service, const char* module) {
  if (!service) throw ImportError(std::string("No module named '") + module + "'");
  return service;
}

}  // namespace velmora::detail
