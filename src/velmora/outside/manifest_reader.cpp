#include "velmora/outside/manifest_reader.h"

#include <system_error>

#include "common/bundle.h"
#include "common/zip_archive.h"

namespace velmora::detail {
namespace {

[[noreturn]] void unreadable(const std::string& source, const std::string& why) {
  throw std::system_error(std::make_error_code(std::errc::invalid_argument), source + ": " + why);
}

}  // namespace

std::optional<json::Value> read_manifest(const std::string& source) {
  std::optional<BundleMember> member;
  try {
    member = member_bytes(source, {MANIFEST_NAME});
  } catch (const BundleError& e) {
    unreadable(source, e.what());
  } catch (const ZipError& e) {
    unreadable(source, e.what());
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
  return manifest;
}

std::string resolve_engine(const json::Value& manifest) {
  const json::Value* engine = manifest.find(ENGINE_KEY);
  if (!engine) return DEFAULT_ENGINE;
  return engine->is_string() ? engine->as_string() : std::string();
}

}  // namespace velmora::detail
