#include <gtest/gtest.h>

#include <map>

#include "mirel2/ostrand/cpu_budget.h"
#include "support/temp_dir.h"

namespace velmora::ostrand {
namespace {

using velmora::testing::ScopedEnv;
using velmora::testing::TempDir;

// A fake system: a proc/cgroup tree under a temporary root, and fixed CPU counts.
struct FakeSystem {
  TempDir root;
  std::optional<long> logical = 16;
  std::optional<long> affinity = 16;

  FakeSystem& file(const std::string& path, const std::string& content) {
    root.write(path.substr(1), content);
    return *this;
  }
  CpuEnv env() const {
    return CpuEnv{root.str(), [l = logical] { return l; }, [a = affinity] { return a; }};
  }
};

TEST(EffectiveCpuCount, NarrowsByAffinityAndQuotas) {
  struct Case {
    const char* what;
    std::optional<long> logical, affinity;
    std::map<std::string, std::string> files;
    int want;
  };
  const std::string v2 = "/sys/fs/cgroup";
  const std::string v1q = "/sys/fs/cgroup/cpu/cpu.cfs_quota_us", v1p = "/sys/fs/cgroup/cpu/cpu.cfs_period_us";
  const Case cases[] = {
      {"no files at all", 16, 16, {}, 16},
      {"unknown logical count", std::nullopt, std::nullopt, {}, 8},
      {"logical count 0", 0, std::nullopt, {}, 8},
      {"affinity smaller than the machine", 16, 5, {}, 5},
      {"own quota 1.5 under max", 16, 16,
       {{"/proc/self/cgroup", "1:cpu:/x\n0::/a/b\n"}, {v2 + "/a/b/cpu.max", "150000 100000\n"},
        {v2 + "/a/cpu.max", "max 100000\n"}},
       2},
      {"nested quotas: the smallest wins", 16, 16,
       {{"/proc/self/cgroup", "0::/a/b\n"}, {v2 + "/a/b/cpu.max", "300000 100000"}, {v2 + "/a/cpu.max", "200000 100000"}},
       2},
      {"quota on the cgroup root itself", 16, 16,
       {{"/proc/self/cgroup", "0::/a\n"}, {v2 + "/cpu.max", "400000 100000"}}, 4},
      {"max everywhere hides v1", 16, 16,
       {{"/proc/self/cgroup", "0::/a\n"}, {v2 + "/a/cpu.max", "max 100000"}, {v1q, "200000"}, {v1p, "100000"}}, 16},
      {"trailing slashes removed", 16, 16,
       {{"/proc/self/cgroup", "0::/a//\n"}, {v2 + "/a/cpu.max", "300000 100000"}}, 3},
      {"root cgroup line", 16, 16, {{"/proc/self/cgroup", "0::/\n"}, {v2 + "/cpu.max", "100000 100000"}}, 1},
      {"one field: not found, v1 decides", 16, 16,
       {{"/proc/self/cgroup", "0::/a\n"}, {v2 + "/a/cpu.max", "200000"}, {v1q, " 200000\n"}, {v1p, "100000\n"}}, 2},
      {"period 0 counts as found", 16, 16,
       {{"/proc/self/cgroup", "0::/a\n"}, {v2 + "/a/cpu.max", "200000 0"}, {v1q, "200000"}, {v1p, "100000"}}, 16},
      {"half a CPU rounds up to 1", 16, 16, {{"/proc/self/cgroup", "0::/a\n"}, {v2 + "/a/cpu.max", "50000 100000"}}, 1},
      {"a negative smallest limit applies none", 16, 16,
       {{"/proc/self/cgroup", "0::/a\n"}, {v2 + "/a/cpu.max", "-5 100000"}, {v2 + "/cpu.max", "200000 100000"}}, 16},
      {"garbage fields skip the level", 16, 16,
       {{"/proc/self/cgroup", "0::/a\n"}, {v2 + "/a/cpu.max", "lots 100000"}, {v2 + "/cpu.max", "300000 100000"}}, 3},
      {"no 0:: line: v1 quota", 16, 16, {{"/proc/self/cgroup", "3:cpu:/x\n"}, {v1q, "200000"}, {v1p, "100000"}}, 2},
      {"v1 quota -1 is no limit", 16, 16, {{v1q, "-1"}, {v1p, "100000"}}, 16},
      {"v1 garbage is ignored", 16, 16, {{v1q, "2e5"}, {v1p, "100000"}}, 16},
      // Ratios of 2^63 and more narrow nothing (and must not reach an integer conversion).
      {"v2 quota of 2^63 CPUs", 16, 16,
       {{"/proc/self/cgroup", "0::/a\n"}, {v2 + "/a/cpu.max", "9223372036854775807 1"}}, 16},
      {"v1 quota of 2^63 CPUs", 16, 16, {{v1q, "9223372036854775807"}, {v1p, "1"}}, 16},
  };
  for (const auto& c : cases) {
    FakeSystem sys;
    sys.logical = c.logical;
    sys.affinity = c.affinity;
    for (const auto& [path, content] : c.files) sys.file(path, content);
    EXPECT_EQ(effective_cpu_count(sys.env()), c.want) << c.what;
  }
}

TEST(EffectiveCpuCount, RealSystemGivesAtLeastOne) { EXPECT_GE(effective_cpu_count(), 1); }

TEST(DefaultThreads, RequestEnvironmentAndCpuCount) {
  struct Case {
    long cpus;
    int interpreters;
    long requested;
    std::optional<std::string> env;
    int want;
  };
  const Case cases[] = {
      {16, 1, 0, {}, 16},        {16, 2, 0, {}, 8},       {32, 1, 0, {}, 24},     {32, 2, 0, {}, 16},
      {3, 1, 0, {}, 3},          {3, 2, 0, {}, 1},        {1, 1, 0, {}, 1},       {1, 2, 0, {}, 1},
      {8, 1, 12, {}, 12},        {8, 2, 12, {}, 4},       {48, 1, 0, {}, 24},     {48, 2, 0, {}, 24},
      {8, 1, 100, {}, 100},      {8, 2, 100, {}, 4},      {8, 1, 0, " 6 ", 6},    {8, 1, 0, "", 8},
      {8, 1, 0, "0", 8},         {8, 1, 0, "-3", 8},      {8, 1, 0, "40", 40},    {8, 2, 0, "40", 4},
      {8, 1, 5, "6x", 5},        {8, 1, -2, "1_2", 12},
      // Beyond 64 bits: a huge negative value is no request, a huge positive one the most an interpreter takes.
      {8, 1, 0, "-1" + std::string(30, '0'), 8},                     {8, 1, 0, "1" + std::string(30, '0'), MAX_INTERPRETER_THREADS},
      {8, 2, 0, "1" + std::string(30, '0'), 4},
  };
  for (const auto& c : cases) {
    FakeSystem sys;
    sys.logical = c.cpus;
    sys.affinity = c.cpus;
    ScopedEnv env("LIBSTREAM_THREADS", c.env);
    EXPECT_EQ(default_threads(c.interpreters, c.requested, sys.env()), c.want)
        << c.cpus << " cpus, " << c.interpreters << " interpreters, request " << c.requested << ", env "
        << c.env.value_or("(unset)");
  }
}

TEST(DefaultThreads, BadEnvironmentValueIsAnError) {
  FakeSystem sys;
  for (const char* bad : {"6x", "  ", "4.0", "0x10", "1e30"}) {
    ScopedEnv env("LIBSTREAM_THREADS", bad);
    EXPECT_THROW(default_threads(1, 0, sys.env()), std::invalid_argument) << bad;
  }
}

}  // namespace
}  // namespace velmora::ostrand
