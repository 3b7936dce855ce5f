#include "mirel2/ostrand/shared_enc_dep.h"

#include <dlfcn.h>

#include <stdexcept>
#include <string_view>

namespace velmora::ostrand {
namespace {

class PluginSharedEncDep final : public SharedEncDep {
 public:
  PluginSharedEncDep(const SharedEncDepApi* api, void* handle) : api_(api), handle_(handle) {}
  ~PluginSharedEncDep() override {
    if (handle_ != nullptr) ::dlclose(handle_);
  }

  std::string shared_enc_id() const override { return api_->shared_enc_id ? api_->shared_enc_id : ""; }

  std::optional<std::string> base_sha256_of(const std::optional<std::string>& deps) const override {
    char* sha = nullptr;
    char* error = nullptr;
    const int rc = api_->base_sha256_of(deps ? deps->c_str() : nullptr, &sha, &error);
    check(rc, error, "base_sha256_of");
    if (sha == nullptr) return std::nullopt;
    return take(sha);
  }

  std::string dependency_store_dirs() const override {
    char* dirs = nullptr;
    char* error = nullptr;
    const int rc = api_->dependency_store_dirs(&dirs, &error);
    check(rc, error, "dependency_store_dirs");
    return dirs ? take(dirs) : std::string();
  }

  std::vector<std::string> store_candidates(const std::string& sha, const std::string& dirs) const override {
    char* block = nullptr;
    char* error = nullptr;
    const int rc = api_->store_candidates(sha.c_str(), dirs.c_str(), &block, &error);
    check(rc, error, "store_candidates");
    std::vector<std::string> out;
    if (block == nullptr) return out;
    for (const char* p = block; *p != '\0'; p += std::string_view(p).size() + 1) out.emplace_back(p);
    api_->free_text(block);
    return out;
  }

  bool verify_base(const std::string& path, const std::string& sha) const override {
    int matches = 0;
    char* error = nullptr;
    const int rc = api_->verify_base(path.c_str(), sha.c_str(), &matches, &error);
    check(rc, error, "verify_base");
    return matches != 0;
  }

 private:
  std::string take(char* text) const {
    std::string s(text);
    api_->free_text(text);
    return s;
  }
  // Called after the operation returned: `error` is what it set.
  void check(int rc, char* error, const char* what) const {
    if (rc == 0) {
      if (error != nullptr) api_->free_text(error);
      return;
    }
    const std::string message = std::string("shared_enc_dep.") + what + ": " + (error ? error : "failed");
    if (error != nullptr) api_->free_text(error);
    throw std::runtime_error(message);
  }

  const SharedEncDepApi* api_;
  void* handle_;
};

}  // namespace

std::unique_ptr<SharedEncDep> wrap_shared_enc_dep(const SharedEncDepApi* api, void* handle) {
  return std::make_unique<PluginSharedEncDep>(api, handle);
}

}  // namespace velmora::ostrand
