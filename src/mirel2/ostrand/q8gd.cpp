#include "mirel2/ostrand/q8gd.h"

#include <cctype>
#include <cstdio>
#include <memory>
#include <unordered_set>

#include "common/bundle.h"
#include "common/env.h"
#include "common/json_convert.h"
#include "common/py_error.h"
#include "common/py_float.h"
#include "common/pytext.h"
#include "common/sha256.h"
#include "mirel2/ostrand/constants.h"

namespace velmora::ostrand {
namespace {

const std::string COMBINED(COMBINED_MEMBER);
const std::string LOG(Q8GD_LOG);
const std::string SERVING = " \u2014 serving " + COMBINED;
const std::string FALLBACK = LOG + " FALLBACK: ";

const json::Value& empty_object() {
  static const json::Value v = json::Value::object({});
  return v;
}

// Present and truthy: not null, false, 0, "", [] or {}.
bool is_set(const json::Value* v) { return v != nullptr && v->truthy(); }

// `v` when it is set, else an empty object; a set value that is no object cannot be looked into.
const json::Value& object_or_empty(const json::Value* v) {
  if (!is_set(v)) return empty_object();
  if (!v->is_object()) throw PyError("AttributeError", std::string("'") + v->type_name() + "' object has no attribute 'get'");
  return *v;
}

// Equality of JSON values (an absent value counts as null): texts character for character, numbers by value,
// values of different JSON types differ.
bool same(const json::Value* a, const json::Value* b) {
  static const json::Value null;
  const json::Value& x = a ? *a : null;
  const json::Value& y = b ? *b : null;
  if (x.is_number() && y.is_number()) {
    if (x.is_int() && y.is_int()) return x.int_text() == y.int_text();
    return x.as_double() == y.as_double();
  }
  if (x.kind() != y.kind()) return false;
  switch (x.kind()) {
    case json::Kind::Null: return true;
    case json::Kind::Bool: return x.as_bool() == y.as_bool();
    case json::Kind::String: return x.as_string() == y.as_string();
    case json::Kind::Array: {
      const auto& p = x.as_array();
      const auto& q = y.as_array();
      if (p.size() != q.size()) return false;
      for (std::size_t i = 0; i < p.size(); ++i)
        if (!same(&p[i], &q[i])) return false;
      return true;
    }
    case json::Kind::Object: {
      const auto& p = x.as_object();
      if (p.size() != y.as_object().size()) return false;
      for (const auto& [k, v] : p)
        if (const json::Value* w = y.find(k); w == nullptr || !same(&v, w)) return false;
      return true;
    }
    default: return false;
  }
}

// A value as a message shows it (Python's str()); absent counts as null.
std::string text_of(const json::Value* v) { return v ? json::py_str(*v) : "None"; }

// The first 12 characters of a value's text.
std::string first12(const json::Value* v) { return utf8_prefix(text_of(v), 12); }

bool python_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r') || (c >= 0x1c && c <= 0x1f); }

}  // namespace

std::optional<std::string> int8_dot_isa(const std::string& cpuinfo) {
  std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(cpuinfo.c_str(), "re"), &std::fclose);
  if (!f) return std::nullopt;
  // Lines end at "\n", "\r" or "\r\n", as text mode reads them; the file is read only up to the line wanted.
  std::string line;
  std::optional<std::string> flags;
  for (int c; !flags;) {
    c = std::fgetc(f.get());
    if (c == EOF || c == '\n' || c == '\r') {
      if (line.rfind("flags", 0) == 0) flags = line;
      if (c == EOF) break;
      line.clear();
    } else {
      line.push_back(static_cast<char>(c));
    }
  }
  if (std::ferror(f.get()) || !flags) return std::nullopt;
  const auto colon = flags->find(':');
  if (colon == std::string::npos) throw PyError("IndexError", "list index out of range");
  std::unordered_set<std::string> tokens;
  std::string token;
  for (std::size_t i = colon + 1; i <= flags->size(); ++i) {
    if (i == flags->size() || python_space(static_cast<unsigned char>((*flags)[i]))) {
      if (!token.empty()) tokens.insert(std::move(token));
      token.clear();
    } else {
      token.push_back((*flags)[i]);
    }
  }
  for (const auto name : INT8_DOT_FLAGS)
    if (tokens.count(std::string(name))) return std::string(name);
  return std::nullopt;
}

namespace detail {

std::pair<std::optional<json::Value>, std::string> q8gd_bound(const json::Value& manifest) {
  const json::Value& m = object_or_empty(&manifest);
  const json::Value& decl = object_or_empty(m.find("members_sha256"));
  const json::Value* blk = m.find(Q8GD_HEADER_KEY);
  const json::Value* want = decl.find(Q8GD_MEMBER);
  if (blk == nullptr || !blk->is_object() || !is_set(want))
    return {std::nullopt, "the header does not bind it (no members_sha256 entry / litert_q8gd block)"};
  if (!same(blk->find("sha256"), want)) return {std::nullopt, "litert_q8gd.sha256 disagrees with members_sha256"};
  const json::Value* base_member = blk->find("base_member");
  const json::Value* base_sha = blk->find("base_sha256");
  const json::Value* declared = decl.find(COMBINED_MEMBER);
  if (!(base_member && base_member->is_string() && base_member->as_string() == COMBINED) || !is_set(declared) ||
      !same(base_sha, declared))
    return {std::nullopt, "STALE: cut from " + COMBINED + " " + first12(base_sha) + ", the header declares " +
                              first12(declared)};
  return {*want, "bound"};
}

std::pair<bool, std::string> q8gd_runtime_ok(const json::Value& manifest, const std::optional<std::string>& running) {
  const json::Value& blk = object_or_empty(object_or_empty(&manifest).find(Q8GD_HEADER_KEY));
  const json::Value* gate = blk.find("gate");
  const json::Value* want = is_set(gate) && gate->is_object() ? gate->find("runtime") : nullptr;
  if (!is_set(want)) return {true, "gate runtime not recorded (published before 2026-10-05)"};
  if (!running) return {false, "gated on ai-edge-litert " + text_of(want) + ", this process's runtime is unreadable"};
  // Exact text equality: no version parsing, "2.1" is not "2.1.0".
  if (!(want->is_string() && want->as_string() == *running))
    return {false, "gated on ai-edge-litert " + text_of(want) + ", this process runs " + *running + " \u2014 re-gate it"};
  return {true, "gated on this runtime (ai-edge-litert " + *running + ")"};
}

}  // namespace detail

Q8gdChoice select_q8gd(const std::string& bundle, const Q8gdProbe& probe) {
  try {
    if (!path_is_dir(bundle)) return {};
    const std::string p = path_join(bundle, Q8GD_MEMBER);
    if (!path_is_file(p)) return {};

    const auto env = env_get(Q8GD_ENV.data());
    std::string mode(trim_blanks(env && !env->empty() ? *env : std::string("auto")));
    for (auto& c : mode) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (mode == "0" || mode == "off" || mode == "false" || mode == "no")
      return {std::nullopt, LOG + " off (" + std::string(Q8GD_ENV) + "=" + mode + ")" + SERVING};

    const auto isa = int8_dot_isa(probe.cpuinfo);
    if (!isa)
      return {std::nullopt, FALLBACK +
                                "this CPU has no int8 dot product (no avx512_vnni / avx_vnni; int8 measured "
                                "0.88-0.93x on AVX2)" + SERVING};

    const json::Value manifest = json::parse(read_directory_member(bundle, MANIFEST_MEMBER));
    const auto [want, why] = detail::q8gd_bound(manifest);
    if (!want) return {std::nullopt, FALLBACK + why + SERVING};

    std::optional<std::string> running;
    if (probe.runtime_version) {
      try {
        running = probe.runtime_version();
      } catch (...) {
        running.reset();  // an unreadable version fails a recorded gate, never the selection
      }
    }
    const auto [rt_ok, rt_why] = detail::q8gd_runtime_ok(manifest, running);
    if (!rt_ok) return {std::nullopt, FALLBACK + rt_why + SERVING};

    const std::string hexdigest = sha256_file_hex(p);
    if (!(want->is_string() && want->as_string() == hexdigest))
      return {std::nullopt, FALLBACK + "bytes " + hexdigest.substr(0, 12) + " != declared " + first12(&*want) + SERVING};
    return {p, LOG + " SELECTED " + std::string(Q8GD_MEMBER) + " (int8 decoder; cpu " + *isa + "; sha " +
                   first12(&*want) + " bound; " + rt_why + ")"};
  } catch (const std::exception& e) {
    const auto t = py_error_text(e);
    return {std::nullopt, FALLBACK + t.kind + ": " + t.message + SERVING};
  }
}

}  // namespace velmora::ostrand
