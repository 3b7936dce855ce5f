#include "velmora/open.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>
#include <system_error>
#include <utility>

#include "common/file_tree.h"
#include "common/json.h"
#include "velmora/engines.h"
#include "velmora/errors.hpp"
#include "velmora/fixture.h"
#include "velmora/materialise.h"
#include "velmora/module.h"
#include "velmora/outside.h"
#include "velmora/render_clock.h"
#include "velmora/session.hpp"
#include "velmora/session_engine.h"
#include "velmora/v2u_engine.h"

namespace velmora {
namespace detail {
namespace {

// os.path.exists: links followed, every error (a NUL byte in the path included) gives false.
bool path_exists(const std::string& path) {
  if (path.find('\0') != std::string::npos) return false;
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

}  // namespace

std::string service_code_message(const std::string& source) {
  return source +
         " names an avatar held by the service, and this package renders an avatar that is on this machine. Run "
         "`python -m velmora render " +
         source + " <audio>` to fetch it and render it here, or render it in the cloud with the Oblera API (POST "
                  "/v1/video/generate).";
}

std::string engine_of(const std::string& source) {
  const auto services = outside();
  const auto& read = need(services->read_manifest, NO_MANIFEST_READER);
  const auto& resolve = need(services->resolve_engine, NO_MANIFEST_READER);
  const std::optional<json::Value> manifest = read(source);
  return resolve(manifest ? *manifest : json::Value::null());
}

bool render_host_found() {
  try {
    const auto services = outside();
    return need(services->bundled_host, NO_HOST_LOOKUP)().has_value();
  } catch (const std::exception&) {
    return false;
  }
}

void rethrow_engine_failure() {
  try {
    throw;
  } catch (const session::EngineUnavailable& e) {
    throw refuse<NotSupported>(e.message(), e.detail());
  } catch (const session::EngineFailed& e) {
    throw refuse<Failed>(e.message(), e.detail());
  } catch (...) {
  }
}

std::unique_ptr<Engine> build_engine(const std::string& source, std::stop_token stop) {
  try {
    const auto services = outside();
    return need(services->mirel2_engine, LITERT)(source, std::move(stop));
  } catch (const AvatarError&) {
    throw;
  } catch (const std::system_error&) {
    throw refuse<Failed>(PREPARE_FAILED, Detail::current());
  } catch (...) {
    rethrow_engine_failure();
    throw;
  }
}

std::unique_ptr<Engine> unified_engine(const std::string& source, std::stop_token stop) {
  const auto services = outside();
  const auto& make = need(services->v2u_engine, UNIFIED);
  const std::string folder = materialise(source, std::move(stop));
  try {
    return make(folder);
  } catch (const V2UUnavailable& e) {
    throw refuse<NotSupported>(e.what(), e.cause() ? Detail::of(e.cause()) : Detail());
  } catch (const V2UInvalid& e) {
    throw refuse<InvalidAvatar>(e.what(), e.cause() ? Detail::of(e.cause()) : Detail());
  }
}

Avatar open_engine(const std::string& source, const std::string& engine_id, std::unique_ptr<Engine> prebuilt,
                   std::stop_token stop) {
  if (prebuilt) return Avatar(std::move(prebuilt), engine_id);
  std::unique_ptr<Engine> engine;
  try {
    if (SESSION.contains(engine_id)) {
      engine = std::make_unique<SessionEngine>(source, SessionOptions{}, std::move(stop));
    } else if (FIXTURE.contains(engine_id)) {
      engine = std::make_unique<FixtureEngine>(source);
    } else if (LITERT.contains(engine_id)) {
      engine = build_engine(source, std::move(stop));  // what it lets through unmapped is mapped below
    } else if (UNIFIED.contains(engine_id)) {
      engine = unified_engine(source, std::move(stop));
    } else {
      throw NotSupported(CANNOT_RUN);
    }
  } catch (const AvatarError&) {
    throw;
  } catch (const session::AvatarOutdated& e) {
    // Built for its effect alone, as every refusal is; the outdated form is what the caller gets.
    (void)refuse<InvalidAvatar>(e.message(), e.detail());
    throw Outdated(e.message(), e.code());
  } catch (const std::system_error&) {
    throw refuse<Failed>(PREPARE_FAILED, Detail::current());
  } catch (...) {
    rethrow_engine_failure();
    throw;
  }
  return Avatar(std::move(engine), engine_id);
}

}  // namespace detail

Avatar open(const std::filesystem::path& source_path) { return open(source_path, std::stop_token()); }

namespace {

Avatar open_stoppable(const std::filesystem::path& source_path, const std::stop_token& stop) {
  const std::string source = source_path.string();
  if (source.empty()) throw InvalidAvatar("open() needs an avatar to open");
  if (stop.stop_requested()) throw Cancelled::opening();
  // A file or folder whose name looks like a service code is opened as an avatar.
  if (!detail::path_exists(source)) {
    if (detail::is_service_code(source)) throw NotSupported(detail::service_code_message(source));
    throw InvalidAvatar("no avatar at " + source);
  }
  // What is opened, taken before anything reads it: the video writer never replaces it, wherever it moves.
  std::error_code ec;
  const std::filesystem::path absolute = std::filesystem::absolute(source, ec);
  std::shared_ptr<const HeldFile> opened = HeldFile::open(AT_FDCWD, source);
  std::string engine_id;
  try {
    engine_id = detail::engine_of(source);
  } catch (const std::system_error&) {
    throw refuse<InvalidAvatar>(detail::NOT_USABLE, Detail::current());
  }
  if (detail::FIXTURE.contains(engine_id) && !detail::vantor1_runtime_present()) {
    throw NotSupported(detail::CANNOT_RUN);
  }
  Avatar avatar = detail::LITERT.contains(engine_id) && detail::render_host_found()
                      ? detail::open_engine(source, engine_id, detail::build_engine(source, stop))
                      : detail::open_engine(source, engine_id, nullptr, stop);
  detail::AvatarAccess::set_source(avatar, ec ? source : absolute.string(), std::move(opened));
  return avatar;
}

}  // namespace

Avatar open(const std::filesystem::path& source_path, std::stop_token stop) {
  try {
    return open_stoppable(source_path, stop);
  } catch (const Cancelled&) {
    // Whatever part was stopped (a host starting, an unpack), it is the opening that was cancelled.
    throw Cancelled::opening();
  }
}

}  // namespace velmora
