#pragma once
// A recording stand-in for the shared-encoder tool plug-in, installed as host_state().sed for the life of the
// object. Its policy is simple and visible: the declared digest is whatever `declare` answers for the
// dependencies text, the store candidates are <dir>/<sha> for each store directory, and a file verifies when
// its SHA-256 is the wanted digest. Every call is recorded, in order.
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/sha256.h"
#include "mirel2/ostrand/host_state.h"
#include "mirel2/ostrand/shared_enc_dep.h"
#include "support/text_lines.h"

namespace velmora::ostrand::testing {

struct FakeSedScript {
  // The answer of base_sha256_of for the dependencies text (nothing: the key is absent); may throw.
  std::function<std::optional<std::string>(const std::optional<std::string>&)> declare =
      [](const std::optional<std::string>&) { return std::nullopt; };
  std::vector<std::string> store_dirs;
  std::vector<std::string> calls;          // "base_sha256_of <deps|none>", "store_candidates <sha>", "verify_base <path>"
};

class FakeSed final : public SharedEncDep {
 public:
  explicit FakeSed(std::shared_ptr<FakeSedScript> s) : s_(std::move(s)) {}
  std::string shared_enc_id() const override { return "fake/shared-enc"; }
  std::optional<std::string> base_sha256_of(const std::optional<std::string>& deps) const override {
    s_->calls.push_back("base_sha256_of " + deps.value_or("none"));
    return s_->declare(deps);
  }
  std::string dependency_store_dirs() const override {
    std::string joined;
    for (const auto& d : s_->store_dirs) joined += d + "\n";
    return joined;
  }
  std::vector<std::string> store_candidates(const std::string& sha, const std::string& dirs) const override {
    s_->calls.push_back("store_candidates " + sha);
    std::vector<std::string> out;
    for (const auto& dir : velmora::testing::split_lines(dirs)) out.push_back(dir + "/" + sha);
    return out;
  }
  bool verify_base(const std::string& path, const std::string& sha) const override {
    s_->calls.push_back("verify_base " + path);
    return sha256_file_hex(path) == sha;
  }

 private:
  std::shared_ptr<FakeSedScript> s_;
};

// Installs a FakeSed (or, with `installed` false, no plug-in at all, with `why` as the search's reason) and
// puts the previous plug-in back at the end.
class ScopedSed {
 public:
  explicit ScopedSed(bool installed = true, std::string why = "no plug-in in this test")
      : script(std::make_shared<FakeSedScript>()) {
    auto& state = host_state();
    old_ = std::move(state.sed);
    old_why_ = state.sed_why;
    if (installed) state.sed = std::make_unique<FakeSed>(script);
    state.sed_why = installed ? "/fake/tools" : std::move(why);
  }
  ~ScopedSed() {
    host_state().sed = std::move(old_);
    host_state().sed_why = old_why_;
  }
  ScopedSed(const ScopedSed&) = delete;
  ScopedSed& operator=(const ScopedSed&) = delete;

  std::shared_ptr<FakeSedScript> script;

 private:
  std::unique_ptr<SharedEncDep> old_;
  std::string old_why_;
};

}  // namespace velmora::ostrand::testing
