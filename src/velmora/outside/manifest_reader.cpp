#include "velmora/outside/manifest_reader.h"

#include <memory>
#include <system_error>

#include "common/bundle.h"
#include "common/zip_archive.h"

namespace velmora::detail {
namespace {

// An avatar file whose manifest cannot be read: an OSError (EINVAL) whose text is exactly what is wrong, as the
// faults of the bundle's form are no system errors.
class Unreadable : public std::system_error {
 public:
  explicit Unreadable(const std::string& message)
      : std::system_error(std::make_error_code(std::errc::invalid_argument), message),
        message_(std::make_shared<const std::string>(message)) {}
  const char* what() const noexcept override { return message_->c_str(); }

 private:
  std::shared_ptr<const std::string> message_;
};

[[noreturn]] void unreadable(const std::string& source, const std::string& why) { throw Unreadable(source + ": " + why); }

}  // namespace

std::optional<json::Value> read_manifest(const std::string& source) {
  std::optional<BundleMember> member;
  try {
    member = member_bytes(source, {MANIFEST_NAME});
  } catch (const BundleError& e) {
    throw Unreadable(e.what());  // the bundle's errors name the file already
  } catch (const ZipError& e) {
    throw Unreadable(e.what());
  }
  if (!member) return std::nullopt;
  json::Value manifest;
  try {
    manifest = json::parse(member->bytes);
  } catch (const json::Error& e) {
    unreadable(source, std::string(MANIFEST_NAME) + " is not JSON: " + e.what());
  }
  if (!manifest.is_object()) {
    unreadable(source, std::string(MANIFEST_NAME) + " holds a " + manifest.type_name() + ", not an object");
  }
  // Only an avatar without a manifest is a fixture avatar: one whose manifest forgot its engine is no avatar of
  // any family, and saying so beats what the fixture runtime would say of a folder or container.
  if (!manifest.find(ENGINE_KEY)) {
    unreadable(source, std::string(MANIFEST_NAME) + " names no engine (it has no \"" + ENGINE_KEY + "\" key)");
  }
  return manifest;
}

std::string resolve_engine(const json::Value& manifest) {
  const json::Value* engine = manifest.find(ENGINE_KEY);
  if (!engine) return DEFAULT_ENGINE;
  return engine->is_string() ? engine->as_string() : std::string();
}

}  // namespace velmora::detail
