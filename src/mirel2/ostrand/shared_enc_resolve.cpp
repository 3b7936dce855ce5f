#include "mirel2/ostrand/shared_enc_resolve.h"

#include <algorithm>
#include <filesystem>
#include <vector>

#include "common/bundle.h"
#include "common/env.h"
#include "common/json.h"
#include "common/json_dump.h"
#include "common/pypath.h"
#include "common/pytext.h"
#include "mirel2/ostrand/constants.h"
#include "mirel2/ostrand/host_state.h"
#include "mirel2/ostrand/staging.h"

namespace velmora::ostrand::detail {
namespace {

// Every root the search walks after the bundle's own copy, collected before the walk begins.
std::vector<std::string> search_roots(const std::optional<std::string>& engine) {
  std::vector<std::string> roots;
  if (engine && !engine->empty()) roots.push_back(*engine);
  for (const char* var : {SHARED_ENC_ENV, ENGINE_DIR_ENV, ANE_ENGINE_ENV})
    if (const auto v = env_get(var); v && !v->empty()) roots.push_back(*v);  // as given: not trimmed
  const std::string engines = expand_user(ENGINES_DIR);
  if (path_is_dir(engines)) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(engines))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());  // by byte, which is by code point for UTF-8 names
    for (const auto& name : names) {
      std::string p = path_join(path_join(engines, name), SHARED_ENC_MEMBER);
      if (path_is_file(p)) roots.push_back(std::move(p));
    }
  }
  return roots;
}

}  // namespace

std::optional<std::string> declared_base_sha(const std::string& bundle) {
  const SharedEncDep* sed = host_state().sed.get();
  if (sed == nullptr) return std::nullopt;
  try {
    const auto manifest = member_bytes(bundle, {MANIFEST_MEMBER});
    if (!manifest) return std::nullopt;
    const json::Value doc = json::parse(manifest->bytes);
    if (!doc.is_object()) return std::nullopt;
    const json::Value* deps = doc.find("dependencies");
    // A null value is no declaration, as a missing key is.
    return sed->base_sha256_of(deps && !deps->is_null() ? std::optional(json::dump(*deps)) : std::nullopt);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

SharedEncChoice resolve_shared_enc(const std::string& bundle, const std::optional<std::string>& engine,
                                   const std::optional<std::string>& want_sha) {
  const SharedEncDep* sed = host_state().sed.get();
  std::vector<std::string> checked;
  auto ok = [&](const std::string& p, const std::string& label) {
    if (!want_sha) return true;
    if (sed != nullptr && sed->verify_base(p, *want_sha)) return true;
    checked.push_back(p + " (" + label + "): sha mismatch");
    return false;
  };

  if (want_sha && !want_sha->empty() && sed != nullptr) {
    for (const auto& p : sed->store_candidates(*want_sha, sed->dependency_store_dirs()))
      if (path_is_file(p)) return {p, "name-trusted content store " + p};
  }

  if (const auto own = member_bytes(bundle, {SHARED_ENC_MEMBER})) {
    const std::string p = stage_tflite(bundle, own->name, own->bytes);
    if (ok(p, "co-located in the bundle")) return {p, "co-located in " + bundle};
  }

  for (const auto& root : search_roots(engine)) {
    if (root.empty()) continue;
    if (path_is_dir(root)) {
      const std::string p = path_join(root, SHARED_ENC_MEMBER);
      if (path_is_file(p) && ok(p, "engine dir")) return {p, "engine dir " + root};
    } else if (path_is_file(root) && path_basename(root) == SHARED_ENC_MEMBER) {
      if (ok(root, "explicit file")) return {root, "explicit file " + root};
    } else if (path_is_file(root)) {
      if (const auto m = member_bytes(root, {SHARED_ENC_MEMBER})) {
        const std::string p = stage_tflite(root, m->name, m->bytes);
        if (ok(p, "container " + root)) return {p, "container " + root};
      }
    }
  }

  if (checked.empty()) return {std::nullopt, "no candidate found"};
  std::string how;
  for (const auto& note : checked) how += (how.empty() ? "" : "; ") + note;
  return {std::nullopt, how};
}

}  // namespace velmora::ostrand::detail
