#pragma once
// The optional shared-encoder tool plug-in: the base-verification policy of the two-artifact split (a shared
// encoder plus an identity delta). It is a shared library "shared_enc_dep.so" exporting one C function,
// `shared_enc_dep_api`, that returns the table below. The host finds it at start-up (see tool_search.h).
//
// Every text crossing the boundary is NUL-terminated UTF-8. Texts the plug-in hands out are released with its
// own `free_text`. Each operation returns 0 on success; otherwise it may set `*error` to a message.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

extern "C" {

#define SHARED_ENC_DEP_ABI 1u

struct SharedEncDepApi {
  std::uint32_t abi;  // SHARED_ENC_DEP_ABI
  // The identifier under which a manifest's "dependencies" declare the shared-encoder base.
  const char* shared_enc_id;
  // `dependencies_json`: the manifest's "dependencies" value as compact JSON, or NULL when the key is absent.
  // Sets `*sha` to the declared base's digest, or leaves it NULL when no base is declared.
  int (*base_sha256_of)(const char* dependencies_json, char** sha, char** error);
  // An opaque text naming the content store directories, handed back to store_candidates unchanged.
  int (*dependency_store_dirs)(char** dirs, char** error);
  // Candidate paths for the digest, most preferred first, as one block of NUL-terminated texts ending with an
  // empty text.
  int (*store_candidates)(const char* sha, const char* dirs, char** paths, char** error);
  // Sets `*matches` to 1 when the file's content is the base with that digest, else 0.
  int (*verify_base)(const char* path, const char* sha, int* matches, char** error);
  void (*free_text)(char* text);
};

typedef const SharedEncDepApi* (*SharedEncDepEntry)(void);
}

namespace velmora::ostrand {

// The plug-in as the host uses it. Errors the plug-in reports become std::runtime_error.
class SharedEncDep {
 public:
  virtual ~SharedEncDep() = default;
  virtual std::string shared_enc_id() const = 0;
  // `dependencies_json`: nothing when the manifest has no "dependencies".
  virtual std::optional<std::string> base_sha256_of(const std::optional<std::string>& dependencies_json) const = 0;
  virtual std::string dependency_store_dirs() const = 0;
  virtual std::vector<std::string> store_candidates(const std::string& sha, const std::string& dirs) const = 0;
  virtual bool verify_base(const std::string& path, const std::string& sha) const = 0;
};

// Wraps a loaded plug-in's table. `handle` is the dlopen handle, closed with the object (may be null).
std::unique_ptr<SharedEncDep> wrap_shared_enc_dep(const SharedEncDepApi* api, void* handle);

}  // namespace velmora::ostrand
