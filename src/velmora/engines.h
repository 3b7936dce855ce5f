#pragma once
// Opening an avatar and building its engine by engine id (the module's private functions, open to tests).
#include <memory>
#include <string>

#include "velmora/avatar.hpp"
#include "velmora/engine.hpp"

namespace velmora::detail {

inline constexpr const char* CANNOT_RUN =
    "that avatar cannot run on this machine. Render it in the cloud with the Oblera API (POST /v1/video/generate), "
    "or open it on Apple Silicon macOS or Linux.";

// The refusal for a source that names an avatar held by the service.
std::string service_code_message(const std::string& source);

// The engine id of the avatar at `source`: what the installed manifest reader and resolver make of it (an
// avatar without a manifest is resolved from null). Their errors pass unchanged (ImportError when absent).
std::string engine_of(const std::string& source);

// Whether the installed host lookup finds a render host program on this machine; false when it cannot say
// (not installed, or its lookup fails).
bool render_host_found();

// The one mapping of an engine's own failures to the package's errors, for a handler to call: rethrows the
// exception in flight as NotSupported when it is EngineUnavailable and as Failed when it is EngineFailed, each
// with the engine's message and detail; returns for any other exception.
void rethrow_engine_failure();

// The mirel-2 engine for `source`, with its failures mapped: NotSupported for EngineUnavailable, Failed for
// EngineFailed and for a file error ("could not prepare that avatar"); package errors and everything else
// (AvatarOutdated, and Cancelled for a stop asked while its host starts, included) pass unchanged. The one
// place the engine is built: open() calls it ahead of open_engine when a render host is found, and
// open_engine calls it otherwise, mapping what passed (AvatarOutdated to Outdated) as for every family.
std::unique_ptr<Engine> build_engine(const std::string& source, std::stop_token stop);

// The unified engine on the avatar unpacked into the cache (Cancelled when `stop` is asked during the unpack):
// NotSupported for V2UUnavailable, InvalidAvatar for V2UInvalid, each with the error's cause as detail.
std::unique_ptr<Engine> unified_engine(const std::string& source, std::stop_token stop = {});

// An Avatar around `prebuilt` when given (the id is not examined), else around the engine that the id's family
// builds on `source`, with every construction failure mapped to the package's errors (Cancelled, for `stop`
// asked while a render host starts or while a packed avatar is unpacked, passes unchanged).
Avatar open_engine(const std::string& source, const std::string& engine_id, std::unique_ptr<Engine> prebuilt = nullptr,
                   std::stop_token stop = {});

}  // namespace velmora::detail
