#include "mirel2/ostrand/bundle_loader.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "common/bundle.h"
#include "common/pytext.h"
#include "mirel2/litert/library.h"
#include "mirel2/ostrand/constants.h"
#include "mirel2/ostrand/exit_status.h"
#include "mirel2/ostrand/host_state.h"
#include "mirel2/ostrand/shared_enc_resolve.h"
#include "mirel2/ostrand/staging.h"

namespace velmora::ostrand {
namespace {

const std::string ELLIPSIS = "\u2026";

std::vector<float> load_canon(const std::string& bundle) {
  const auto canon = member_bytes(bundle, {CANON_MEMBER, CANON_FALLBACK_MEMBER});
  if (!canon) fatal("FATAL: no canon.bin in " + bundle + " (per-identity canon latent required)");
  // Not a bundle fault the loader names: a length that is no whole number of floats cannot be decoded at all.
  if (canon->bytes.size() % sizeof(float) != 0)
    throw std::runtime_error("ValueError: buffer size must be a multiple of element size (" + std::string(CANON_MEMBER) +
                             " of " + bundle + ")");
  std::vector<float> values(canon->bytes.size() / sizeof(float));
  if (!values.empty()) std::memcpy(values.data(), canon->bytes.data(), canon->bytes.size());  // little-endian float32
  if (values.size() != static_cast<std::size_t>(CANON_SIZE))
    fatal("FATAL: canon.bin has " + std::to_string(values.size()) + " floats, expected " + std::to_string(CANON_SIZE));
  return values;
}

ModelChoice load_split(const std::string& bundle, const std::optional<std::string>& engine, const BundleMember& id,
                       std::vector<float> canon) {
  HostState& state = host_state();
  if (state.sed == nullptr)
    fatal("FATAL: " + bundle +
          " is a two-artifact split, but this engine has no shared_enc_dep (the base-verification policy) \u2014 "
          "searched the repo tools/ dir and this host's own directory (" + state.sed_why +
          "). Without it the base pairing cannot be verified, and an unverified pairing renders a different face "
          "with no error. Vendor tools/shared_enc_dep beside this host in the engine artifact. (The "
          "combined-member path does not need it and is unaffected.)");
  const std::string id_quoted = py_repr(state.sed->shared_enc_id());
  const std::optional<std::string> want = detail::declared_base_sha(bundle);
  const bool colocated = member_bytes(bundle, {SHARED_ENC_MEMBER}).has_value();
  if (!want && !colocated)
    fatal("FATAL: " + bundle + " carries identity.tflite (the two-artifact split's DELTA half) and declares no " +
          id_quoted +
          " base in its manifest dependencies[], and carries no shared-enc.tflite of its own. There is no way to "
          "tell which shared-enc.tflite it was cut against, and the wrong one renders a DIFFERENT FACE with no "
          "error (measured 2026-09-01: 181 of 181 frames wrong, silently). Re-emit the container with "
          "tools/imx_from_bundle, which stamps the base content address.");
  const bool declared = want && !want->empty();
  const SharedEncChoice enc = detail::resolve_shared_enc(bundle, engine, want);
  if (!enc.path) {
    if (declared)
      fatal("FATAL: " + bundle + " was cut against shared-enc.tflite sha256=" + *want +
            " and that base is NOT on this machine. Resolution: " + enc.how +
            ". Put it in the content store (${VELMORA_DEPS_DIR} or ~/.velmora/deps, as <store>/" + *want +
            " or <store>/" + utf8_prefix(*want, 2) + "/" + *want +
            "), or pass --engine <dir|.engine> holding exactly that base. A base with the right NAME and the wrong "
            "CONTENT is refused here on purpose.");
    fatal("FATAL: " + bundle +
          " carries identity.tflite (two-artifact split) but no engine shared-enc.tflite was found. Provide it via "
          "--engine <dir|.engine>, MIREL2_SHARED_ENC=<file>, or install the linux engine (`velmora engine install "
          "linux`) into ~/.velmora/engines/.");
  }
  const std::string id_path = stage_tflite(bundle, id.name, id.bytes);
  if (declared && enc.how.starts_with("name-trusted"))
    elog({"two-artifact split: base sha256=" + utf8_prefix(*want, 12) + ELLIPSIS +
          " resolved by CONTENT ADDRESS (name-trusted, NOT re-hashed, per dependency_resolver) via " + enc.how});
  else if (declared)
    elog({"two-artifact split: base sha256=" + utf8_prefix(*want, 12) + ELLIPSIS + " VERIFIED (bytes hashed) via " +
          enc.how});
  else
    elog({"two-artifact split: base UNVERIFIED (artifact declares no " + id_quoted +
          " dependency; using the bundle's own copy) \u2014 re-emit with tools/imx_from_bundle to bind it"});
  elog({"two-artifact split: enc=" + *enc.path + " + id=" + id_path});
  return {{*enc.path, id_path}, SPLIT_LABEL, std::move(canon)};
}

[[noreturn]] void no_contract_model(const std::string& bundle) {
  std::vector<std::string> odd;
  for (auto& name : listing(bundle)) {
    if (name.ends_with(".tflite") && name != COMBINED_MEMBER && name != IDENTITY_MEMBER && name != SHARED_ENC_MEMBER)
      odd.push_back(std::move(name));
  }
  std::sort(odd.begin(), odd.end());
  if (!odd.empty())
    fatal("FATAL: " + bundle + " carries UNEXPECTED tflite member(s) " + py_repr(odd) +
          " and none of the contract renderers. mirel-2 names exactly two renderer shapes: " +
          std::string(COMBINED_MEMBER) +
          ", OR identity.tflite + an engine shared-enc.tflite. Other .tflite names are not loaded: re-pack the "
          "member under its contract name.");
  fatal("FATAL: no LiteRT tflite member in " + bundle + " (expected " + std::string(COMBINED_MEMBER) +
        ", OR identity.tflite + an engine shared-enc.tflite; convert-on-first-run from onnx/ckpt is not wired in v1)");
}

}  // namespace

Q8gdProbe host_q8gd_probe() { return Q8gdProbe{"/proc/cpuinfo", [] { return litert::runtime_version(); }}; }

ModelChoice load_bundle(const std::string& bundle, const std::optional<std::string>& engine, const Q8gdProbe& q8gd) {
  std::vector<float> canon = load_canon(bundle);

  if (auto combined = member_bytes(bundle, {COMBINED_MEMBER})) {
    const Q8gdChoice q8 = select_q8gd(bundle, q8gd);
    if (!q8.line.empty()) elog({q8.line});
    if (q8.path) return {{*q8.path}, std::string(path_basename(*q8.path)), std::move(canon)};
    std::string path = stage_tflite(bundle, combined->name, combined->bytes);
    return {{std::move(path)}, std::move(combined->name), std::move(canon)};
  }

  if (const auto id = member_bytes(bundle, {IDENTITY_MEMBER})) return load_split(bundle, engine, *id, std::move(canon));

  no_contract_model(bundle);
}

}  // namespace velmora::ostrand
