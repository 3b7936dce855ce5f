#include "velmora/outside/unfold_imx.h"

#include <cerrno>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "common/bundle.h"
#include "common/pytext.h"
#include "common/zip_archive.h"
#include "velmora/errors.hpp"
#include "velmora/outside/manifest_reader.h"
#include "velmora/unfold.h"

namespace velmora::detail {
namespace {

using Sink = std::function<void(std::string_view)>;

bool is_manifest(std::string_view stored) { return path_basename(stored) == MANIFEST_NAME; }

// Writes members into the folder, each streamed from the container a block at a time, and counts their bytes
// against the cap. A stop is seen before each member and each block, so one huge member does not hold it.
class Writer {
 public:
  Writer(const std::string& dest, std::uint64_t max_bytes, std::stop_token stop)
      : dest_(dest), max_bytes_(max_bytes), stop_(std::move(stop)) {}

  // The member `name`, whose bytes `produce` hands to the sink it is given.
  void member(std::string_view name, const std::function<void(const Sink&)>& produce) {
    if (stop_.stop_requested()) throw Cancelled();
    MemberFile file(dest_, name);
    if (file.is_folder()) return;
    produce([&](std::string_view bytes) {
      if (stop_.stop_requested()) throw Cancelled();
      if (bytes.size() > max_bytes_ - written_) {
        throw std::system_error(EFBIG, std::generic_category(),
                                "the avatar unpacks to more than " + std::to_string(max_bytes_) +
                                    " bytes, the most the avatar cache takes (VELMORA_AVATAR_CACHE_GB)");
      }
      written_ += bytes.size();
      file.write(bytes);
    });
    file.close();
  }

 private:
  const std::string& dest_;
  const std::uint64_t max_bytes_;
  const std::stop_token stop_;
  std::uint64_t written_ = 0;
};

// An IMX member's bytes; a container cut short before the member's end is no usable avatar.
void imx_member(const std::string& source, const ImxEntry& e, const Sink& sink) {
  const std::uint64_t got = imx_entry_stream(source, e, sink);
  if (got < e.size) {
    throw ValueError("member " + py_repr(e.name) + " is cut short: the container holds " + std::to_string(got) +
                     " of its " + std::to_string(e.size) + " bytes");
  }
}

}  // namespace

void unfold_imx(const std::string& source, const std::string& dest, std::uint64_t max_bytes, std::stop_token stop) {
  Writer out(dest, max_bytes, std::move(stop));
  // The manifest the folder's top gets when the container keeps it in a sub-folder: the last one, as the
  // bundle reader finds it, read again at the end.
  bool top_manifest = false;
  switch (bundle_form(source)) {
    case BundleForm::Imx: {
      const std::optional<std::vector<ImxEntry>> toc = imx_toc(source);
      if (!toc) throw ValueError(py_repr(source) + " is not an avatar container");
      const ImxEntry* last_manifest = nullptr;
      for (const ImxEntry& e : *toc) {
        out.member(e.name, [&](const Sink& sink) { imx_member(source, e, sink); });
        if (e.name == MANIFEST_NAME) top_manifest = true;
        if (is_manifest(e.name)) last_manifest = &e;
      }
      if (!top_manifest && last_manifest) {
        out.member(MANIFEST_NAME, [&](const Sink& sink) { imx_member(source, *last_manifest, sink); });
      }
      return;
    }
    case BundleForm::Zip: {
      const ZipArchive zip = ZipArchive::open_file(source);
      std::optional<std::size_t> last_manifest;
      for (std::size_t i = 0; i < zip.names().size(); ++i) {
        const std::string& name = zip.names()[i];
        out.member(name, [&](const Sink& sink) { zip.read_to(i, sink); });
        if (name == MANIFEST_NAME) top_manifest = true;
        if (is_manifest(name)) last_manifest = i;
      }
      if (!top_manifest && last_manifest) {
        out.member(MANIFEST_NAME, [&](const Sink& sink) { zip.read_to(*last_manifest, sink); });
      }
      return;
    }
    case BundleForm::Directory:
    case BundleForm::NoMembers:
      break;
  }
  throw ValueError(py_repr(source) + " is not an avatar container");
}

}  // namespace velmora::detail
