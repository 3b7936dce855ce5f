#pragma once
// How many CPUs this process may really use, and how many threads each interpreter gets.
// Nothing is cached: every call asks the system and reads the proc and cgroup files again.
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace velmora::ostrand {

// The system facts the budget reads. Tests build a fake tree under `root` and fake counts; the default is the
// real system.
struct CpuEnv {
  std::string root;                             // prefix of "/proc/self/cgroup" and "/sys/fs/cgroup/..."
  std::function<std::optional<long>()> logical;   // logical CPUs of the machine; nothing when unknown
  std::function<std::optional<long>()> affinity;  // CPUs in the caller's affinity set; nothing when unknown

  static CpuEnv system();
};

// Usable CPUs: the logical count (8 when unknown), narrowed by the affinity set and by the smallest cgroup v2
// quota along the process's cgroup and its ancestors (else the cgroup v1 quota), rounded up; at least 1.
// Never fails.
int effective_cpu_count(const CpuEnv& env = CpuEnv::system());

// The most threads an interpreter can be asked for: its options take the count as a 32-bit integer.
inline constexpr long MAX_INTERPRETER_THREADS = 2147483647;

// A thread count given as text ("--threads", LIBSTREAM_THREADS): a strict base-10 integer of any length.
// Throws std::invalid_argument for anything else. A positive value beyond MAX_INTERPRETER_THREADS is a request
// no interpreter can take and becomes that maximum; zero and negative values, however large, pass through as
// "no request".
long parse_thread_count(std::string_view text);

// Threads per interpreter: a positive request wins, else a positive LIBSTREAM_THREADS, else the usable CPUs
// capped at 24; with more than one interpreter, at most half the usable CPUs. At least 1.
// Throws std::invalid_argument when it has to read LIBSTREAM_THREADS and that is not an integer.
int default_threads(int n_interpreters = 1, long requested = 0, const CpuEnv& env = CpuEnv::system());

}  // namespace velmora::ostrand
