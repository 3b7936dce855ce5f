#pragma once
// The bundle loader: from one identity bundle to the model files to load, their label and the canon latent.
// Two renderer shapes, in this order of preference: the combined model combined_litert.tflite (possibly through
// its int8-decoder variant), or the two-artifact split, identity.tflite plus a shared encoder found and, where
// the manifest declares its digest, verified (shared_enc_resolve.h).
//
// Every bundle fault it tests for ends the host here: one "FATAL: ..." line and status 3 (fatal(), so that the
// staged files go with the exit hook). Anything else that fails (reading the bundle, staging, the plug-in, a
// canon member whose length is no multiple of 4) is thrown as an ordinary error (status 1).
#include <optional>
#include <string>
#include <vector>

#include "mirel2/ostrand/q8gd.h"

namespace velmora::ostrand {

inline constexpr const char* CANON_MEMBER = "canon.bin";
inline constexpr const char* CANON_FALLBACK_MEMBER = "canon.f32";
inline constexpr const char* IDENTITY_MEMBER = "identity.tflite";
inline constexpr const char* SPLIT_LABEL = "shared-enc.tflite+identity.tflite";

struct ModelChoice {
  std::vector<std::string> paths;  // in load order: one model, or the shared encoder then the identity delta
  std::string label;               // names the model in the ready line
  std::vector<float> canon;        // CANON_SIZE values, the bundle's canon latent
};

// The probe of the int8-decoder choice as the host runs it: this machine's CPU flags and the loaded LiteRT
// runtime's version.
Q8gdProbe host_q8gd_probe();

// Loads `bundle` (used unchanged in every access and message). `engine` is the "--engine" value, used only to
// find a shared encoder. Reads host_state().sed and sed_why (the tool plug-in).
ModelChoice load_bundle(const std::string& bundle, const std::optional<std::string>& engine = std::nullopt,
                        const Q8gdProbe& q8gd = host_q8gd_probe());

}  // namespace velmora::ostrand
