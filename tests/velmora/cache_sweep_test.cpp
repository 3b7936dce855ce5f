#include <gtest/gtest.h>

#include "support/process.h"
#include "velmora/avatar_cache.h"
#include "velmora/support/cache_scope.h"
#include "velmora/support/child.h"

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace velmora::detail {
namespace {

namespace fs = std::filesystem;
using testing::CacheScope;
using testing::Child;
using testing::dead_pid;
using testing::exists;
using testing::make_folder;
using testing::ScopedEnv;
using testing::set_mtime;
using testing::test_program;
using testing::wall_now;

constexpr double NOW = 1700000000;  // the sweeps' clock; folder times are set relative to it

std::string tmp_name(const std::string& stem, long long pid) { return stem + ".tmp." + std::to_string(pid); }

TEST(Sweep, IdleBoundariesOwnersAndNamesAtCapZeroAndUnderTheCap) {
  // A live process that never wrote here: the id of a killed writer, given to another process since.
  const pid_t live = ::getppid(), dead = dead_pid();
  struct Case {
    std::string name;
    double idle;
    bool manifest;
    bool survives_cap0;
    bool survives_under_cap;
    bool locked = false;  // a writer holds the folder's lock: one on another machine, whose id is none here
  };
  const std::vector<Case> cases = {
      {"sha256-fresh", 3599, true, true, true},
      {"sha256-idle-hour", 3600, true, false, true},  // the skip needs strictly less than an hour
      {"stray-folder", 5000, false, false, true},     // any folder that is not hidden or temporary is an entry
      {"sha256-kept", 999999, true, true, true},      // the entry the sweep was given to keep
      {".idx", 999999, false, true, true},
      {".hidden", 999999, false, true, true},
      {tmp_name("a", dead), 0, false, false, false},  // a writer that is gone is dead at once
      {tmp_name("b", dead), 3601, false, false, false},
      {tmp_name("c", live), 7200, false, false, false},  // a free lock is enough, whoever has the id now
      {tmp_name("d", live), 86400, false, false, false},
      {tmp_name("c0", live), 0, false, false, false},
      {tmp_name("c1", live), 0, false, true, true, true},  // a live writer's: the lock is held
      {tmp_name("c2", ::getpid()), 7200, false, true, true, true},
      {tmp_name("e", dead), 86400, false, false, false},
      {tmp_name("f", live), 90000, false, false, false},  // a day is long enough whoever the owner is
      {tmp_name("g", dead), 4000, false, false, false},
      {"h.tmp.99999999999999999999", 0, false, false, false},  // no process has that id
      {tmp_name("i", dead), 0, false, true, true, true},
      {tmp_name("j", dead), 4000, false, true, true, true},
      {tmp_name("k", dead), 90000, false, false, false, true},
  };
  for (const bool cap0 : {true, false}) {
    CacheScope cache;
    ScopedEnv cap("VELMORA_AVATAR_CACHE_GB", cap0 ? "0" : "1");
    std::vector<testing::LockedFolder> locks;
    for (const auto& c : cases) {
      make_folder(cache.avatars(), c.name, 100, c.manifest, NOW - c.idle);
      if (c.locked) locks.emplace_back(cache.avatars() + "/" + c.name);
    }
    testing::write_file(cache.avatars() + "/plain-file", "x");
    ASSERT_EQ(::symlink(cache.dir.str().c_str(), (cache.avatars() + "/link").c_str()), 0);
    AvatarCache().sweep_at(cache.avatars(), cache.avatars() + "/sha256-kept", NOW);
    for (const auto& c : cases) {
      EXPECT_EQ(exists(cache.avatars() + "/" + c.name), cap0 ? c.survives_cap0 : c.survives_under_cap)
          << c.name << (cap0 ? " at cap 0" : " under the cap");
    }
    EXPECT_TRUE(exists(cache.avatars() + "/plain-file"));
    EXPECT_TRUE(exists(cache.avatars() + "/link"));
  }
}

TEST(Sweep, EvictsMostIdleThenLargestThenByPathUntilUnderTheCap) {
  struct Entry {
    const char* name;
    double idle;
    std::int64_t bytes;
  };
  const Entry entries[] = {
      {"sha256-a", 9000, 1000}, {"sha256-b", 5000, 3000}, {"sha256-c", 5000, 2000},
      {"sha256-d", 5000, 2000}, {"sha256-e", 2000, 10000},  // total 18000
  };
  struct Case {
    const char* cap_gb;
    std::vector<std::string> survivors;
  };
  const Case cases[] = {
      {"0.0000185", {"sha256-a", "sha256-b", "sha256-c", "sha256-d", "sha256-e"}},
      {"0.0000175", {"sha256-b", "sha256-c", "sha256-d", "sha256-e"}},
      {"0.0000165", {"sha256-c", "sha256-d", "sha256-e"}},
      {"0.0000135", {"sha256-c", "sha256-e"}},  // of two equal in idle and size, the later path goes first
      {"0.0000115", {"sha256-e"}},
      {"0.0000095", {"sha256-e"}},  // used within the hour: stays although the cache is over its cap
  };
  for (const auto& c : cases) {
    CacheScope cache;
    ScopedEnv cap("VELMORA_AVATAR_CACHE_GB", c.cap_gb);
    for (const auto& e : entries) make_folder(cache.avatars(), e.name, e.bytes, true, NOW - e.idle);
    AvatarCache().sweep_at(cache.avatars(), "", NOW);
    std::vector<std::string> survivors;
    for (const auto& e : entries) {
      if (exists(cache.avatars() + "/" + e.name)) survivors.push_back(e.name);
    }
    EXPECT_EQ(survivors, c.survivors) << "cap " << c.cap_gb;
    for (const auto& item : fs::directory_iterator(cache.avatars())) {
      EXPECT_EQ(item.path().filename().string().find(".tmp."), std::string::npos) << "left behind: " << item.path();
    }
  }
}

// Cap 10 GB; E1 just opened (kept), 3 GB; E2 idle 90,000 s, 4 GB, held by another process; E3 idle 90,000 s,
// 6 GB; E4 idle 1,800 s, 5 GB. The sizes are sparse files: only their lengths count.
TEST(Sweep, TheWorkedExampleWithALiveHolderAndTheNextSweepAfterItEnds) {
  CacheScope cache;
  ScopedEnv cap("VELMORA_AVATAR_CACHE_GB", "10");
  const std::string held_avatar = cache.avatar("held");
  const std::string e2 = cache.entry_of(held_avatar);
  auto holder = std::make_unique<Child>(std::vector<std::string>{test_program("cache_helper"), "take", cache.root(), held_avatar});
  ASSERT_EQ(holder->read_line(), "ready");
  holder->write_line("go");
  ASSERT_EQ(holder->read_line().substr(0, 5 + e2.size()), "took " + e2);

  const double now = wall_now();
  constexpr std::int64_t GB = 1000000000;
  const std::string e1 = make_folder(cache.avatars(), "sha256-e1", 3 * GB, true, now - 200);
  testing::write_sparse(e2 + "/blob", 4 * GB);
  set_mtime(e2, now - 90000);
  const std::string e3 = make_folder(cache.avatars(), "sha256-e3", 6 * GB, true, now - 90000);
  const std::string e4 = make_folder(cache.avatars(), "sha256-e4", 5 * GB, true, now - 1800);

  AvatarCache sweeper;
  sweeper.sweep(cache.avatars(), e1);
  EXPECT_FALSE(exists(e3));
  EXPECT_TRUE(exists(e1));
  EXPECT_TRUE(exists(e2)) << "held by a live process";
  EXPECT_EQ(testing::check_unpacked(e2, held_avatar), "") << "a held entry stays whole";
  EXPECT_TRUE(exists(e4));

  // 12 GB is still over the cap; once the holder has ended, the next sweep takes E2 and stops at 8 GB.
  EXPECT_EQ(holder->wait(), 0);
  holder.reset();
  sweeper.sweep(cache.avatars(), e1);
  EXPECT_FALSE(exists(e2));
  EXPECT_TRUE(exists(e1));
  EXPECT_TRUE(exists(e4));
}

// Where there is no lock to ask, the id in a temporary folder's name decides: the folder goes once idle more
// than an hour with no process of that id, or idle more than a day whoever has it. A lock counts for nothing.
TEST(Sweep, WithoutLocksATemporaryFolderGoesByItsOwnersIdAndIdleTime) {
  CacheScope cache;
  const pid_t live = ::getppid(), dead = dead_pid();
  struct Case {
    std::string name;
    double idle;
    bool survives;
  };
  const std::vector<Case> cases = {
      {tmp_name("a", live), 7200, true},    {tmp_name("b", live), 86400, true},
      {tmp_name("c", live), 86401, false},  {tmp_name("d", dead), 3600, true},
      {tmp_name("e", dead), 3601, false},   {"f.tmp.99999999999999999999", 3601, false},
  };
  for (const auto& c : cases) make_folder(cache.avatars(), c.name, 100, false, NOW - c.idle);
  const testing::LockedFolder locked(cache.avatars() + "/" + tmp_name("e", dead));
  CacheOptions without_locks;
  without_locks.advisory_locks = false;
  AvatarCache(without_locks).sweep_at(cache.avatars(), "", NOW);
  for (const auto& c : cases) EXPECT_EQ(exists(cache.avatars() + "/" + c.name), c.survives) << c.name;
}

TEST(Sweep, WithoutLocksUseIsJudgedByAWeekOfIdleTimeAndOwnersCountAsAlive) {
  CacheScope cache;
  ScopedEnv cap("VELMORA_AVATAR_CACHE_GB", "0");
  const pid_t dead = dead_pid();
  const std::string week_less = make_folder(cache.avatars(), "sha256-a", 100, true, NOW - 604799);
  const std::string week = make_folder(cache.avatars(), "sha256-b", 100, true, NOW - 604800);
  const std::string old_tmp = make_folder(cache.avatars(), tmp_name("c", dead), 100, false, NOW - 86401);
  const std::string young_tmp = make_folder(cache.avatars(), tmp_name("d", dead), 100, false, NOW - 7200);
  // A lock that another process keeps counts for nothing here.
  AvatarCache locker;
  ASSERT_EQ(locker.hold(week), AvatarCache::Hold::held);
  set_mtime(week, NOW - 604800);

  CacheOptions without_locks;
  without_locks.advisory_locks = false;
  without_locks.liveness_probe = false;
  AvatarCache windows(without_locks);
  EXPECT_TRUE(windows.in_use(week_less, 604799));
  EXPECT_FALSE(windows.in_use(week, 604800));
  EXPECT_EQ(windows.hold(week_less), AvatarCache::Hold::unheld);
  EXPECT_EQ(windows.held_count(), 0u);
  set_mtime(week_less, NOW - 604799);
  windows.sweep_at(cache.avatars(), "", NOW);
  EXPECT_TRUE(exists(week_less));
  EXPECT_FALSE(exists(week));
  EXPECT_FALSE(exists(old_tmp));
  EXPECT_TRUE(exists(young_tmp));
}

// Unpacks an avatar as a writer whose temporary names carry `id`, while another cache sweeps over and over.
void sweep_while_unpacking(CacheScope& cache, pid_t id) {
  const std::string avatar = cache.avatar("remote", 50, 100);
  CacheOptions options;
  options.pid = id;
  AvatarCache writer(options);
  std::atomic<bool> done{false};
  std::atomic<long> passes{0};
  std::thread sweeper([&] {
    while (!done) {
      AvatarCache().sweep(cache.avatars(), "");
      ++passes;
    }
  });
  testing::set_unfold_delay(std::chrono::milliseconds(2));
  std::string entry, error;
  try {
    entry = writer.materialise(avatar);
  } catch (const std::exception& e) {
    error = e.what();
  }
  testing::set_unfold_delay(std::chrono::microseconds(0));
  done = true;
  sweeper.join();
  EXPECT_EQ(error, "");
  EXPECT_GT(passes, 10);
  EXPECT_EQ(testing::check_unpacked(entry, avatar), "");
}

// A writer holds its temporary folder's lock, whether its process id names a live process here or none (one on
// another machine sharing the cache): sweeps run over and over while it unpacks, and its entry comes out whole.
TEST(Sweep, AWriterKeepsItsTemporaryFolderWhateverItsId) {
  for (const pid_t id : {::getpid(), dead_pid()}) {
    SCOPED_TRACE("writer's id " + std::to_string(id));
    CacheScope cache;
    sweep_while_unpacking(cache, id);
  }
}

TEST(Sweep, AMissingAvatarsFolderEndsThePassQuietly) {
  CacheScope cache;
  AvatarCache().sweep_at(cache.avatars(), "", NOW);
  EXPECT_FALSE(exists(cache.root()));
}

}  // namespace
}  // namespace velmora::detail
