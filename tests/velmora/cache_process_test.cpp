// The cache shared by several processes at once: cache_helper processes started together.
#include <gtest/gtest.h>

#include "common/sha256.h"
#include "velmora/avatar_cache.h"
#include "velmora/support/cache_scope.h"
#include "velmora/support/child.h"

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace velmora::detail {
namespace {

namespace fs = std::filesystem;
using testing::CacheScope;
using testing::Child;
using testing::ScopedEnv;
using testing::test_program;

std::unique_ptr<Child> helper(const std::vector<std::string>& args) {
  std::vector<std::string> argv{test_program("cache_helper")};
  argv.insert(argv.end(), args.begin(), args.end());
  return std::make_unique<Child>(argv);
}

// The value of `name=` in a helper's line of counts.
long count(const std::string& line, const std::string& name) {
  const auto at = line.find(" " + name + "=");
  if (at == std::string::npos) throw std::runtime_error("no " + name + " in: " + line);
  return std::stol(line.substr(at + name.size() + 2));
}

// What is left under the avatars folder: every entry must be complete for the avatar its name says, and no
// temporary folder or temporary key record may remain.
struct Leftovers {
  int entries = 0;
  std::int64_t bytes = 0;
  std::vector<std::string> problems;
};

Leftovers inspect(const CacheScope& cache, const std::vector<std::string>& avatar_files) {
  std::map<std::string, std::string> by_entry;
  for (const auto& a : avatar_files) by_entry[cache.entry_of(a)] = a;
  Leftovers out;
  for (const auto& item : fs::directory_iterator(cache.avatars())) {
    const std::string path = item.path().string(), name = item.path().filename().string();
    if (name == ".idx") continue;
    const auto avatar = by_entry.find(path);
    if (avatar == by_entry.end()) {
      out.problems.push_back("stray: " + name);
      continue;
    }
    ++out.entries;
    for (const auto& f : fs::recursive_directory_iterator(path)) out.bytes += f.is_regular_file() ? f.file_size() : 0;
    const std::string problem = testing::check_unpacked(path, avatar->second);
    if (!problem.empty()) out.problems.push_back(problem);
  }
  for (const auto& record : fs::directory_iterator(cache.avatars() + "/.idx")) {
    if (record.path().filename().string().find('.') != std::string::npos) {
      out.problems.push_back("temporary record: " + record.path().string());
    }
  }
  return out;
}

TEST(CacheProcesses, ConcurrentFirstUsePublishesOneCompleteEntry) {
  CacheScope cache;
  ScopedEnv slow("FAKE_UNFOLD_DELAY_US", "3000");
  const std::string avatar = cache.avatar("shared", 10, 4096);
  const std::string entry = cache.entry_of(avatar);
  std::vector<std::unique_ptr<Child>> takers;
  for (int i = 0; i < 8; ++i) takers.push_back(helper({"take", cache.root(), avatar}));
  for (auto& t : takers) ASSERT_EQ(t->read_line(), "ready");
  for (auto& t : takers) t->write_line("go");
  int unpacks = 0;
  for (auto& t : takers) {
    std::istringstream took(t->read_line());
    std::string word, path, verdict;
    int calls = 0;
    took >> word >> path >> calls >> verdict;
    EXPECT_EQ(word, "took");
    EXPECT_EQ(path, entry);
    EXPECT_EQ(verdict, "ok");
    unpacks += calls;
  }
  EXPECT_GE(unpacks, 1);
  const Leftovers left = inspect(cache, {avatar});
  EXPECT_EQ(left.entries, 1);
  EXPECT_TRUE(left.problems.empty()) << left.problems[0];
  EXPECT_TRUE(AvatarCache().in_use(entry, 0)) << "every taker holds it";
  for (auto& t : takers) t->close_input();
  for (auto& t : takers) EXPECT_EQ(t->wait(), 0);
  EXPECT_FALSE(AvatarCache().in_use(entry, 0));
}

// A sweeper to which every entry looks two hours idle, against takers that take the entry afresh each round:
// whenever no taker holds it, it is evicted, so takers keep meeting it while it goes. None may ever get a
// folder that is not whole, or lose one while holding it.
TEST(CacheProcesses, ASweeperNeverLeavesATakerWithAHalfDeletedFolder) {
  CacheScope cache;
  ScopedEnv cap("VELMORA_AVATAR_CACHE_GB", "0");
  const std::string avatar = cache.avatar("contested", 40, 512);
  auto sweeper = helper({"sweeper", cache.root()});
  std::vector<std::unique_ptr<Child>> takers;
  for (int i = 0; i < 3; ++i) takers.push_back(helper({"taker", cache.root(), avatar, "300"}));
  long unpacks = 0;
  for (auto& t : takers) {
    const std::string line = t->read_line();
    EXPECT_EQ(count(line, "broken"), 0) << line;
    EXPECT_EQ(count(line, "errors"), 0) << line;
    unpacks += count(line, "unpacks");
    EXPECT_EQ(t->wait(), 0);
  }
  sweeper->close_input();
  const std::string swept = sweeper->read_line();
  EXPECT_EQ(sweeper->wait(), 0);
  std::printf("race: 3 takers x 300 rounds, %ld unpacks, %s\n", unpacks, swept.c_str());
  EXPECT_GT(unpacks, 3) << "the sweeper never evicted the entry: the race was not run";
  const Leftovers left = inspect(cache, {avatar});
  EXPECT_TRUE(left.problems.empty()) << left.problems[0];
}

// 8 processes take and let go of 5 avatars under a budget of about two of them, every entry nobody holds being
// evictable at once.
TEST(CacheProcesses, StressEightProcessesUnderATinyBudget) {
  CacheScope cache;
  ScopedEnv cap("VELMORA_AVATAR_CACHE_GB", "0.00007");  // 70,000 bytes; an entry is 32,768 bytes of parts
  constexpr int PROCESSES = 8, ROUNDS = 200;
  std::vector<std::string> avatars;
  for (int i = 0; i < 5; ++i) avatars.push_back(cache.avatar("avatar" + std::to_string(i), 8, 4096));
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::unique_ptr<Child>> workers;
  for (int p = 0; p < PROCESSES; ++p) {
    std::vector<std::string> args{"stress", cache.root(), std::to_string(ROUNDS), std::to_string(1000 + p)};
    args.insert(args.end(), avatars.begin(), avatars.end());
    workers.push_back(helper(args));
  }
  long unpacks = 0, broken = 0, errors = 0;
  for (auto& w : workers) {
    const std::string line = w->read_line();
    unpacks += count(line, "unpacks");
    broken += count(line, "broken");
    errors += count(line, "errors");
    EXPECT_EQ(w->wait(), 0);
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const Leftovers left = inspect(cache, avatars);
  std::printf("stress: %d processes x %d rounds over 5 avatars in %.2f s: %ld unpacks, %ld broken, %ld errors; "
              "left %d entries, %lld bytes\n",
              PROCESSES, ROUNDS, seconds, unpacks, broken, errors, left.entries, static_cast<long long>(left.bytes));
  EXPECT_EQ(broken, 0);
  EXPECT_EQ(errors, 0);
  EXPECT_GT(unpacks, 5) << "nothing was evicted";
  EXPECT_TRUE(left.problems.empty()) << left.problems[0];
}

// A writer that dies in the middle of an unpack (a second Ctrl-C) leaves its temporary folder; the next sweep
// of any process deletes it at once, its owner being gone.
TEST(CacheProcesses, AKilledWritersTemporaryGoesWithTheNextSweep) {
  CacheScope cache;
  ScopedEnv slow("FAKE_UNFOLD_DELAY_US", "20000");
  const std::string avatar = cache.avatar("killed", 500, 100);
  auto writer = helper({"take", cache.root(), avatar});
  ASSERT_EQ(writer->read_line(), "ready");
  writer->write_line("go");
  const auto leftovers = [&] {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& item : fs::directory_iterator(cache.avatars(), ec)) {
      if (item.path().filename().string().find(".tmp.") != std::string::npos) names.push_back(item.path().string());
    }
    return names;
  };
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (leftovers().empty() || !fs::exists(leftovers()[0] + "/data")) {
    ASSERT_LT(std::chrono::steady_clock::now(), until) << "the unpack did not start";
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ::kill(writer->pid(), SIGKILL);
  EXPECT_EQ(writer->wait(), 128 + SIGKILL);
  ASSERT_EQ(leftovers().size(), 1u);

  AvatarCache().materialise(cache.avatar("next"));
  EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

}  // namespace
}  // namespace velmora::detail
