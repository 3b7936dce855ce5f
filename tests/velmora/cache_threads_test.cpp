// The cache taken by several threads of one process at once.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "velmora/avatar_cache.h"
#include "velmora/errors.hpp"
#include "velmora/support/cache_scope.h"
#include "velmora/unfold.h"

namespace velmora::detail {
namespace {

namespace fs = std::filesystem;
using testing::CacheScope;
using testing::unfold_calls;

// Long enough for any hit on a loaded machine; a hit that waits for the blocked thread never ends before the
// blocked thread is let go.
constexpr auto DEADLOCK_GUARD = std::chrono::seconds(30);

std::vector<std::string> temporaries_in(const std::string& avatars) {
  std::vector<std::string> found;
  for (const auto& item : fs::recursive_directory_iterator(avatars)) {
    const std::string name = item.path().filename().string();
    if (name.find(".tmp.") != std::string::npos || (item.path().parent_path().filename() == ".idx" &&
                                                     name.find('.') != std::string::npos)) {
      found.push_back(item.path().string());
    }
  }
  return found;
}

// While one thread is stuck hashing or unpacking an avatar, another thread's hit on a cached avatar returns.
TEST(CacheThreads, AHitNeverWaitsForAnotherThreadsHashOrUnpack) {
  enum class Stuck { hashing, unpacking };
  for (const Stuck stuck : {Stuck::hashing, Stuck::unpacking}) {
    const char* what = stuck == Stuck::hashing ? "hashing" : "unpacking";
    CacheScope cache;
    std::promise<void> unpack_started, let_go;
    std::shared_future<void> released = let_go.get_future().share();
    std::string slow;
    if (stuck == Stuck::hashing) {
      // Reading a pipe blocks until someone writes into it: the hash of this "file" waits for the test.
      slow = cache.dir.str() + "/slow.avatar";
      ASSERT_EQ(::mkfifo(slow.c_str(), 0600), 0);
    } else {
      slow = cache.avatar("slow");
    }
    Outside services = testing::fake_outside();
    services.unfold_imx = [&](const std::string& source, const std::string& dest, std::uint64_t, std::stop_token) {
      if (source != slow) return testing::fake_unfold(source, dest);
      if (stuck == Stuck::unpacking) {
        unpack_started.set_value();
        released.wait();
      }
      write_member(dest, "manifest.json", {});
    };
    ScopedOutside scope(services);
    AvatarCache process;
    const std::string cached = cache.avatar("cached");
    process.materialise(cached);

    auto slow_take = std::async(std::launch::async, [&] { return process.materialise(slow); });
    int writer = -1;
    if (stuck == Stuck::hashing) {
      // A writer can open the pipe once the hash has it open for reading; the hash then waits for the bytes.
      while ((writer = ::open(slow.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) < 0) {
        ASSERT_EQ(errno, ENXIO);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    } else {
      unpack_started.get_future().wait();
    }
    auto hit = std::async(std::launch::async, [&] { return process.materialise(cached); });
    const bool hit_returned = hit.wait_for(DEADLOCK_GUARD) == std::future_status::ready;
    EXPECT_TRUE(hit_returned) << "a hit waited for another thread's " << what;

    if (stuck == Stuck::hashing) {
      EXPECT_EQ(::write(writer, "x", 1), 1);
      ::close(writer);
    } else {
      let_go.set_value();
    }
    EXPECT_EQ(hit.get(), cache.entry_of(cached)) << what;
    EXPECT_TRUE(fs::is_regular_file(slow_take.get() + "/manifest.json")) << what;
  }
}

// Threads taking a few avatars at once, several per avatar: each avatar is unpacked once, every thread gets
// its complete entry, and no temporary name is left.
TEST(CacheThreads, ManyThreadsOnAFewAvatarsUnpackEachOnce) {
  CacheScope cache;
  testing::set_unfold_delay(std::chrono::microseconds(500));
  std::vector<std::string> avatars;
  for (int i = 0; i < 4; ++i) avatars.push_back(cache.avatar("a" + std::to_string(i), 6, 2000));
  AvatarCache process;
  const int calls = unfold_calls();
  std::vector<std::future<std::string>> takers;
  for (int round = 0; round < 3; ++round) {
    for (const std::string& avatar : avatars) {
      takers.push_back(std::async(std::launch::async, [&process, avatar] { return process.materialise(avatar); }));
    }
  }
  for (std::size_t i = 0; i < takers.size(); ++i) {
    const std::string& avatar = avatars[i % avatars.size()];
    const std::string entry = takers[i].get();
    EXPECT_EQ(entry, cache.entry_of(avatar));
    EXPECT_EQ(testing::check_unpacked(entry, avatar), "");
  }
  testing::set_unfold_delay(std::chrono::microseconds(0));
  EXPECT_EQ(unfold_calls() - calls, 4);
  EXPECT_EQ(process.held_count(), 4u);
  EXPECT_EQ(temporaries_in(cache.avatars()), std::vector<std::string>{});
}

// Waits (10 s at most) until a temporary folder under `avatars` holds a file.
bool unpack_under_way(const std::string& avatars) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < until) {
    std::error_code ec;
    for (const auto& item : fs::directory_iterator(avatars, ec)) {
      if (item.path().filename().string().find(".tmp.") != std::string::npos && fs::exists(item.path() / "data", ec)) {
        return true;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

// A stop ends a take wherever it waits: before the hash, in its own unpack, and while another thread unpacks
// the same avatar (which goes on). Nothing of a stopped take stays in the cache.
TEST(CacheThreads, AStopEndsATakeInItsHashItsUnpackOrItsWaitForAnotherThread) {
  CacheScope cache;
  AvatarCache process;
  std::stop_source before;
  before.request_stop();
  EXPECT_THROW(process.materialise(cache.avatar("a"), before.get_token()), Cancelled);
  EXPECT_FALSE(fs::exists(cache.avatars() + "/.idx")) << "hashed to the end";

  testing::set_unfold_delay(std::chrono::milliseconds(20));
  const std::string slow = cache.avatar("slow", 100, 100);  // two seconds of unpacking
  std::stop_source own_stop, waiter_stop;
  auto own = std::async(std::launch::async, [&] { return process.materialise(slow, own_stop.get_token()); });
  ASSERT_TRUE(unpack_under_way(cache.avatars()));
  auto waiter = std::async(std::launch::async, [&] { return process.materialise(slow, waiter_stop.get_token()); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // in its wait for the entry
  waiter_stop.request_stop();
  ASSERT_EQ(waiter.wait_for(std::chrono::seconds(1)), std::future_status::ready) << "the wait held the stop";
  EXPECT_THROW(waiter.get(), Cancelled);
  EXPECT_EQ(own.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
  own_stop.request_stop();
  ASSERT_EQ(own.wait_for(std::chrono::seconds(1)), std::future_status::ready) << "the unpack held the stop";
  EXPECT_THROW(own.get(), Cancelled);
  testing::set_unfold_delay(std::chrono::microseconds(0));

  EXPECT_EQ(temporaries_in(cache.avatars()), std::vector<std::string>{});
  EXPECT_FALSE(fs::exists(cache.entry_of(slow)));
  EXPECT_EQ(process.held_count(), 0u);
  EXPECT_FALSE(process.swept());
  EXPECT_EQ(testing::check_unpacked(process.materialise(slow), slow), "");
}

}  // namespace
}  // namespace velmora::detail
