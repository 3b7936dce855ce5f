// Our base-verification policy of the two-artifact split, built as the plug-in "shared_enc_dep.so".
//
// Declaration: a manifest declares the shared-encoder base its identity delta was cut against as one entry of
// its "dependencies" list, {"id": "mirel2/shared-enc", "sha256": "<64 lower-case hex digits>"}; the first entry
// with that id counts. A "dependencies" value that is no list, or a list without that id, declares no base. An
// entry whose "sha256" is no text still declares a base: its digest is the compact JSON of the value ("null"
// when it is missing), which no file can match, so a broken declaration is refused, never taken for none.
//
// Content store: ${VELMORA_DEPS_DIR} (when set and not empty), then ~/.velmora/deps; in each, a base is the file
// named by its digest, directly in the store or in the sub-folder named by the digest's first two characters.
// A store file is trusted by its name, so only a well-formed digest (64 lower-case hex digits) ever becomes
// part of a path: anything else yields no candidate at all.
//
// Verification hashes the whole file (SHA-256) and compares the digest text exactly.
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>
#include <string>

#include "common/env.h"
#include "common/json.h"
#include "common/json_dump.h"
#include "common/pypath.h"
#include "common/pytext.h"
#include "common/sha256.h"
#include "mirel2/ostrand/shared_enc_dep.h"

namespace {

using namespace velmora;

constexpr const char* SHARED_ENC_ID = "mirel2/shared-enc";
constexpr const char* DEPS_DIR_ENV = "VELMORA_DEPS_DIR";
constexpr const char* HOME_STORE = "~/.velmora/deps";

char* copy_text(const std::string& s) {
  char* out = static_cast<char*>(std::malloc(s.size() + 1));
  if (out != nullptr) std::memcpy(out, s.c_str(), s.size() + 1);
  return out;
}

// Runs `body`; an exception becomes status 1 with its message, since nothing may unwind into the host.
template <class F>
int guarded(char** error, F&& body) {
  try {
    body();
    return 0;
  } catch (const std::exception& e) {
    if (error != nullptr) *error = copy_text(e.what());
  } catch (...) {
    if (error != nullptr) *error = copy_text("unknown error");
  }
  return 1;
}

std::optional<std::string> declared_sha(const json::Value& deps) {
  if (!deps.is_array()) return std::nullopt;
  for (const auto& entry : deps.as_array()) {
    const json::Value* id = entry.find("id");
    if (id == nullptr || !id->is_string() || id->as_string() != SHARED_ENC_ID) continue;
    const json::Value* sha = entry.find("sha256");
    if (sha == nullptr) return "null";
    return sha->is_string() ? sha->as_string() : json::dump(*sha);
  }
  return std::nullopt;
}

int base_sha256_of(const char* dependencies_json, char** sha, char** error) {
  return guarded(error, [&] {
    if (dependencies_json == nullptr) return;
    if (const auto found = declared_sha(json::parse(dependencies_json))) *sha = copy_text(*found);
  });
}

int dependency_store_dirs(char** dirs, char** error) {
  return guarded(error, [&] {
    json::Array list;
    if (const auto d = env_get(DEPS_DIR_ENV); d && !d->empty()) list.push_back(json::Value::string(*d));
    const std::string home = expand_user(HOME_STORE);
    if (home != HOME_STORE) list.push_back(json::Value::string(home));  // no home folder: no home store
    *dirs = copy_text(json::dump(json::Value::array(std::move(list))));
  });
}

int store_candidates(const char* sha, const char* dirs, char** paths, char** error) {
  return guarded(error, [&] {
    std::string block;
    if (is_sha256_hex(sha)) {
      const std::string digest(sha);
      const json::Value stores = json::parse(dirs);
      for (const auto& dir : stores.as_array()) {
        for (const std::string& rel : {digest, digest.substr(0, 2) + "/" + digest}) {
          block += path_join(dir.as_string(), rel);
          block += '\0';
        }
      }
    }
    block += '\0';
    char* out = static_cast<char*>(std::malloc(block.size()));
    if (out == nullptr) throw std::bad_alloc();
    std::memcpy(out, block.data(), block.size());
    *paths = out;
  });
}

int verify_base(const char* path, const char* sha, int* matches, char** error) {
  return guarded(error, [&] { *matches = is_sha256_hex(sha) && sha256_file_hex(path) == sha ? 1 : 0; });
}

void free_text(char* text) { std::free(text); }

const SharedEncDepApi API = {SHARED_ENC_DEP_ABI, SHARED_ENC_ID, base_sha256_of, dependency_store_dirs,
                             store_candidates,   verify_base,   free_text};

}  // namespace

extern "C" __attribute__((visibility("default"))) const SharedEncDepApi* shared_enc_dep_api(void) { return &API; }
