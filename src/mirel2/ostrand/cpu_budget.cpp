#include "mirel2/ostrand/cpu_budget.h"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "common/env.h"
#include "common/pytext.h"
#include "common/strict_int.h"

namespace velmora::ostrand {
namespace {

constexpr long FALLBACK_CPUS = 8;
constexpr std::string_view CGROUP_V2_ROOT = "/sys/fs/cgroup";
constexpr int THREADS_FROM_CPUS_CAP = 24;

std::optional<std::string> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return text.str();
}

std::optional<long> system_logical() {
  const long n = ::sysconf(_SC_NPROCESSORS_ONLN);
  if (n <= 0) return std::nullopt;
  return n;
}

std::optional<long> system_affinity() {
  // Grow the set until the kernel's mask fits (machines with more than 1024 CPUs).
  for (int ncpus = 1024; ncpus <= (1 << 20); ncpus *= 2) {
    cpu_set_t* set = CPU_ALLOC(ncpus);
    if (set == nullptr) return std::nullopt;
    const std::size_t size = CPU_ALLOC_SIZE(ncpus);
    CPU_ZERO_S(size, set);
    if (::sched_getaffinity(0, size, set) == 0) {
      const long n = CPU_COUNT_S(size, set);
      CPU_FREE(set);
      return n;
    }
    const int err = errno;
    CPU_FREE(set);
    if (err != EINVAL) return std::nullopt;
  }
  return std::nullopt;
}

// The process's cgroup v2 path ("" for the root, or when unknown), without trailing slashes.
std::string own_cgroup(const CpuEnv& env) {
  const auto text = read_file(env.root + "/proc/self/cgroup");
  if (!text) return "";
  std::istringstream lines(*text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("0::", 0) != 0) continue;
    std::string rel(trim_blanks(line));
    rel.erase(0, 3);
    while (!rel.empty() && rel.back() == '/') rel.pop_back();
    return rel;
  }
  return "";
}

std::vector<std::string> fields(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> out;
  for (std::string f; in >> f;) out.push_back(f);
  return out;
}

// The smallest CPU limit (quota / period) found, if any.
std::optional<double> cgroup_limit(const CpuEnv& env) {
  std::optional<double> quota;
  bool found = false;
  const std::size_t stop_length = env.root.size() + CGROUP_V2_ROOT.size();
  std::string d = env.root;
  d += CGROUP_V2_ROOT;
  d += own_cgroup(env);
  while (true) {
    if (const auto text = read_file(d + "/cpu.max")) {
      const auto f = fields(*text);
      if (f.size() >= 2) {
        found = true;
        if (f[0] != "max") {
          const auto p = parse_strict_int(f[1]);
          if (p && *p > 0) {
            if (const auto q = parse_strict_int(f[0])) {
              const double ratio = static_cast<double>(*q) / static_cast<double>(*p);
              quota = quota ? std::min(*quota, ratio) : ratio;
            }
          }
        }
      }
    }
    if (d.size() <= stop_length) break;
    const auto cut = d.rfind('/');
    if (cut == std::string::npos) break;
    d.resize(cut);
  }
  if (found) return quota;
  const auto q_text = read_file(env.root + "/sys/fs/cgroup/cpu/cpu.cfs_quota_us");
  if (!q_text) return quota;
  const auto q = parse_strict_int(*q_text);
  if (!q) return quota;
  const auto p_text = read_file(env.root + "/sys/fs/cgroup/cpu/cpu.cfs_period_us");
  if (!p_text) return quota;
  const auto p = parse_strict_int(*p_text);
  if (!p) return quota;
  if (*q > 0 && *p > 0) return static_cast<double>(*q) / static_cast<double>(*p);
  return quota;
}

}  // namespace

CpuEnv CpuEnv::system() { return CpuEnv{"", system_logical, system_affinity}; }

int effective_cpu_count(const CpuEnv& env) {
  long n = 0;
  if (env.logical) n = env.logical().value_or(0);
  if (n <= 0) n = FALLBACK_CPUS;
  if (env.affinity) {
    if (const auto a = env.affinity()) n = std::min(n, *a);
  }
  // A limit at or above n narrows nothing; below it, its ceiling fits a long (a quota over a period of 1 can
  // reach 2^63, beyond any integer the conversion could give).
  if (const auto limit = cgroup_limit(env); limit && *limit > 0 && *limit < static_cast<double>(n)) {
    n = std::max(1L, static_cast<long>(std::ceil(*limit)));
  }
  return static_cast<int>(std::clamp(n, 1L, static_cast<long>(INT_MAX)));
}

long parse_thread_count(std::string_view text) {
  // Any length of digits is an integer; beyond 64 bits only the sign matters here.
  const auto v = parse_strict_int_saturating(text);
  if (!v) throw std::invalid_argument("invalid literal for int() with base 10: " + py_repr(text));
  return static_cast<long>(std::min<std::int64_t>(*v, MAX_INTERPRETER_THREADS));
}

int default_threads(int n_interpreters, long requested, const CpuEnv& env) {
  long t = requested;
  if (t <= 0) {
    const auto value = env_get("LIBSTREAM_THREADS");
    t = value ? (value->empty() ? 0 : parse_thread_count(*value)) : 0;
  }
  if (t <= 0) t = std::min(effective_cpu_count(env), THREADS_FROM_CPUS_CAP);
  if (n_interpreters > 1) t = std::min<long>(t, std::max(1, effective_cpu_count(env) / 2));
  return static_cast<int>(std::clamp(t, 1L, static_cast<long>(MAX_INTERPRETER_THREADS)));
}

}  // namespace velmora::ostrand
