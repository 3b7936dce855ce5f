#include "velmora/outside/unfold_imx.h"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/bundle.h"
#include "common/pytext.h"
#include "common/zip_archive.h"
#include "velmora/errors.hpp"
#include "velmora/outside/manifest_reader.h"
#include "velmora/unfold.h"

namespace velmora::detail {
namespace {

std::span<const std::uint8_t> bytes_of(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

bool is_manifest(std::string_view stored) { return path_basename(stored) == MANIFEST_NAME; }

}  // namespace

void unfold_imx(const std::string& source, const std::string& dest) {
  // The manifest the folder's top gets when the container keeps it in a sub-folder: the last one, as the
  // bundle reader finds it. Held by position, read again at the end, so no member stays in memory meanwhile.
  bool top_manifest = false;
  switch (bundle_form(source)) {
    case BundleForm::Imx: {
      const std::optional<std::vector<ImxEntry>> toc = imx_toc(source);
      if (!toc) throw ValueError(py_repr(source) + " is not an avatar container");
      const ImxEntry* last_manifest = nullptr;
      for (const ImxEntry& e : *toc) {
        write_member(dest, e.name, bytes_of(imx_entry_bytes(source, e)));
        if (e.name == MANIFEST_NAME) top_manifest = true;
        if (is_manifest(e.name)) last_manifest = &e;
      }
      if (!top_manifest && last_manifest) {
        write_member(dest, MANIFEST_NAME, bytes_of(imx_entry_bytes(source, *last_manifest)));
      }
      return;
    }
    case BundleForm::Zip: {
      const ZipArchive zip = ZipArchive::open_file(source);
      std::optional<std::size_t> last_manifest;
      for (std::size_t i = 0; i < zip.names().size(); ++i) {
        const std::string& name = zip.names()[i];
        write_member(dest, name, bytes_of(zip.read(i)));
        if (name == MANIFEST_NAME) top_manifest = true;
        if (is_manifest(name)) last_manifest = i;
      }
      if (!top_manifest && last_manifest) write_member(dest, MANIFEST_NAME, bytes_of(zip.read(*last_manifest)));
      return;
    }
    case BundleForm::Directory:
    case BundleForm::NoMembers:
      break;
  }
  throw ValueError(py_repr(source) + " is not an avatar container");
}

}  // namespace velmora::detail
