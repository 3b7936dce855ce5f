#pragma once
// Which shared encoder an identity delta (identity.tflite) runs with. An identity delta paired with the wrong
// base renders a different face without any error, so when the manifest declares the base's digest, a file
// found by path is taken only after the tool plug-in has verified its content; a content-store file is trusted
// by its name. Both operations use host_state().sed, the tool plug-in.
#include <optional>
#include <string>

namespace velmora::ostrand {

// The environment variables naming shared-encoder roots, tried in this order after "--engine".
inline constexpr const char* SHARED_ENC_ENV = "MIREL2_SHARED_ENC";
inline constexpr const char* ENGINE_DIR_ENV = "MIREL2_ENGINE_DIR";
inline constexpr const char* ANE_ENGINE_ENV = "MIREL2_ANE_ENGINE";
// The engines folder: <folder>/<name>/shared-enc.tflite, names in sorted order, after the roots above.
inline constexpr const char* ENGINES_DIR = "~/.velmora/engines";
inline constexpr const char* SHARED_ENC_MEMBER = "shared-enc.tflite";

struct SharedEncChoice {
  std::optional<std::string> path;  // the file for the interpreter, or nothing
  std::string how;                  // how it was found, or why nothing was
};

namespace detail {

// The base digest the bundle's manifest declares, as the plug-in reads it from "dependencies"; nothing when
// there is no plug-in, no manifest, no declaration, or anything on the way fails. Never throws.
std::optional<std::string> declared_base_sha(const std::string& bundle);

// Searches, in order: the content store (only for a non-empty `want_sha`; the first existing candidate is
// taken unverified), the bundle's own shared-enc.tflite, then the roots ("--engine", the three variables, the
// engines folder's encoders): a directory's shared-enc.tflite, a file named shared-enc.tflite itself, or the
// member of a container file. With a digest wanted, a candidate found by path must pass the plug-in's
// verification; a refused one leaves a note, and the notes are the `how` when nothing is taken. Copies staged
// on the way stay listed for the exit hook. Errors of the plug-in, of reading containers, of listing the
// engines folder and of staging are thrown.
SharedEncChoice resolve_shared_enc(const std::string& bundle, const std::optional<std::string>& engine,
                                   const std::optional<std::string>& want_sha = std::nullopt);

}  // namespace detail
}  // namespace velmora::ostrand
