#include <gtest/gtest.h>

#include "common/pypath.h"
#include "common/pytext.h"
#include "common/sha256.h"
#include "velmora/avatar_cache.h"
#include "velmora/errors.hpp"
#include "velmora/log.hpp"
#include "velmora/materialise.h"
#include "velmora/support/cache_scope.h"
#include "velmora/support/log_capture.h"
#include "velmora/unfold.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <filesystem>
#include <future>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace velmora::detail {
namespace {

namespace fs = std::filesystem;
using testing::CacheScope;
using testing::exists;
using testing::make_folder;
using testing::mtime_of;
using testing::read_file;
using testing::ScopedEnv;
using testing::set_mtime;
using testing::TempDir;
using testing::unfold_calls;
using testing::wall_now;
using testing::write_file;

std::vector<std::string> names_in(const std::string& folder) {
  std::vector<std::string> names;
  if (!fs::is_directory(folder)) return names;
  for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// The record name of a file state, built here from its parts so the layout is pinned independently.
std::string record_of(const std::string& avatars, const std::string& source) {
  struct stat st;
  EXPECT_EQ(::stat(source.c_str(), &st), 0);
  std::string ident = abs_path(source);
  ident += std::string(1, '\0') + std::to_string(st.st_size) + '\0' +
           std::to_string(st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec) + '\0' + std::to_string(st.st_ino);
  return avatars + "/.idx/" + sha256_hex(ident).substr(0, 32);
}

TEST(CacheSettings, RootFromTheVariableOrTheHomeCache) {
  ScopedEnv home("HOME", "/home/u");
  struct Case {
    std::optional<std::string> value;
    const char* root;
  };
  const Case cases[] = {
      {std::nullopt, "/home/u/.cache/velmora"}, {"", "/home/u/.cache/velmora"},  // empty counts as unset
      {"~/c", "/home/u/c"},                     {"rel/x", "rel/x"},
      {"/abs/x/", "/abs/x/"},
  };
  for (const auto& c : cases) {
    ScopedEnv dir("VELMORA_CACHE_DIR", c.value);
    EXPECT_EQ(cache_root(), c.root) << py_repr(c.value.value_or("<unset>"));
  }
}

TEST(CacheSettings, CapInWholeBytesWithTheDefaultForUnusableText) {
  struct Case {
    std::optional<std::string> value;
    std::int64_t bytes;
    bool warned;
  };
  const Case cases[] = {
      {std::nullopt, 10000000000, false}, {"", 10000000000, false},   {" 2.5 ", 2500000000, false},
      {"-1", 0, false},                   {"0", 0, false},            {"1e-9", 1, false},
      {"1_0", 10000000000, false},        {"1e300", INT64_MAX, false}, {"abc", 10000000000, true},
      {"nan", 10000000000, true},         {"inf", 10000000000, true},  {"-inf", 10000000000, true},
  };
  for (const auto& c : cases) {
    ScopedEnv cap("VELMORA_AVATAR_CACHE_GB", c.value);
    testing::LogCapture log;
    EXPECT_EQ(cache_cap_bytes(), c.bytes) << py_repr(c.value.value_or("<unset>"));
    if (c.warned) {
      ASSERT_EQ(log.records.size(), 1u);
      EXPECT_EQ(log.records[0].level, LogLevel::warning);
      EXPECT_EQ(log.records[0].message, "velmora: VELMORA_AVATAR_CACHE_GB=" + py_repr(*c.value) +
                                            " is not a finite number of gigabytes; using 10");
    } else {
      EXPECT_TRUE(log.records.empty()) << log.records[0].message;
    }
  }
}

TEST(CacheSettings, TheUnpackerMayWriteWhatTheCacheTakesButNeverLessThanAGigabyte) {
  const struct {
    std::optional<std::string> value;
    std::uint64_t most;
  } cases[] = {{std::nullopt, 10'000'000'000}, {"2.5", 2'500'000'000}, {"0.5", 1'000'000'000}, {"-1", 1'000'000'000}};
  CacheScope cache;
  for (const auto& c : cases) {
    ScopedEnv cap("VELMORA_AVATAR_CACHE_GB", c.value);
    std::uint64_t given = 0;
    Outside recording;
    recording.unfold_imx = [&](const std::string& source, const std::string& dest, std::uint64_t most, std::stop_token) {
      given = most;
      testing::fake_unfold(source, dest);
    };
    ScopedOutside services{recording};
    AvatarCache c1;
    c1.materialise(cache.avatar("cap-" + c.value.value_or("unset")));
    EXPECT_EQ(given, c.most) << c.value.value_or("<unset>");
  }
}

TEST(ContentKey, RecordsAreTrustedWhenWellFormedAndRewrittenOtherwise) {
  CacheScope cache;
  const std::string source = cache.avatar("a");
  const std::string key = "sha256-" + sha256_hex(read_file(source)).substr(0, 32);
  const std::string record = record_of(cache.avatars(), source);
  struct stat st;
  ASSERT_EQ(::stat(source.c_str(), &st), 0);

  EXPECT_EQ(content_key(source, st, cache.avatars(), 77), key);
  EXPECT_EQ(read_file(record), key.substr(7));
  EXPECT_FALSE(exists(record + ".77"));

  // A record is believed without hashing, blanks around it allowed.
  const std::string other(32, 'e');
  write_file(record, "  " + other + "\n");
  EXPECT_EQ(content_key(source, st, cache.avatars(), 77), "sha256-" + other);

  const std::string malformed[] = {
      std::string(32, 'E'), std::string(31, 'e'), std::string(33, 'e'), "", std::string(32, '\xff'),
      std::string(16, 'e') + " " + std::string(15, 'e'), std::string(32, 'e') + std::string(5000, ' '),
  };
  for (const auto& text : malformed) {
    write_file(record, text);
    EXPECT_EQ(content_key(source, st, cache.avatars(), 77), key) << py_repr(text);
    EXPECT_EQ(read_file(record), key.substr(7));
  }

  // A record that cannot be written only costs a hash next time.
  fs::remove_all(cache.avatars() + "/.idx");
  write_file(cache.avatars() + "/.idx", "not a folder");
  EXPECT_EQ(content_key(source, st, cache.avatars(), 77), key);
}

TEST(Materialise, AFolderIsUsedAsItIs) {
  CacheScope cache;
  fs::create_directories(cache.dir.path() / "avatar-folder");
  const auto cwd = fs::current_path();
  fs::current_path(cache.dir.path());
  AvatarCache c;
  EXPECT_EQ(c.materialise("avatar-folder"), "avatar-folder");
  fs::current_path(cwd);
  EXPECT_FALSE(exists(cache.root()));
  EXPECT_EQ(c.held_count(), 0u);
}

TEST(Materialise, UnpacksOnceForEveryPathAndStateOfTheSameContent) {
  CacheScope cache;
  const std::string source = cache.avatar("a", 4, 100);
  const std::string entry = cache.entry_of(source);
  const int calls = unfold_calls();

  AvatarCache first;
  EXPECT_EQ(first.materialise(source), entry);
  EXPECT_EQ(testing::check_unpacked(entry, source), "");
  EXPECT_EQ(unfold_calls(), calls + 1);
  EXPECT_EQ(names_in(cache.avatars()), (std::vector<std::string>{".idx", fs::path(entry).filename().string()}));

  // Another process, another path to the same file (a hard link), then the file touched: one entry, one
  // record per path and state.
  AvatarCache second;
  const std::string linked = cache.dir.str() + "/linked.avatar";
  ASSERT_EQ(::link(source.c_str(), linked.c_str()), 0);
  EXPECT_EQ(second.materialise(linked), entry);
  EXPECT_TRUE(exists(record_of(cache.avatars(), linked)));
  set_mtime(source, wall_now() - 100);  // a new state of both names of the file
  EXPECT_EQ(second.materialise(source), entry);
  EXPECT_EQ(unfold_calls(), calls + 1);
  EXPECT_EQ(names_in(cache.avatars() + "/.idx").size(), 3u);
  EXPECT_TRUE(exists(record_of(cache.avatars(), source)));

  // The same content in another file is the same entry too.
  EXPECT_EQ(second.materialise(testing::write_fake_avatar(cache.dir.str() + "/copy", "a", 4, 100)), entry);
  EXPECT_EQ(unfold_calls(), calls + 1);
}

// The error materialise throws for `source`, which must be an E (another error fails the test as it is).
template <class E>
std::optional<E> thrown(AvatarCache& cache, const std::string& source) {
  try {
    cache.materialise(source);
  } catch (const E& e) {
    return e;
  }
  ADD_FAILURE() << "no error for " << source;
  return std::nullopt;
}

TEST(Materialise, FailuresLeaveNoTemporaryFolder) {
  CacheScope cache;
  AvatarCache c;
  const auto failed = thrown<Failed>(c, cache.avatar("oserror"));
  ASSERT_TRUE(failed);
  EXPECT_STREQ(failed->what(), "could not prepare that avatar");
  EXPECT_TRUE(failed->detail().is_exception());
  EXPECT_NE(failed->detail().text().find("reading the container"), std::string::npos) << failed->detail().text();
  for (const auto& source : {cache.avatar("unusable"), cache.dir.write("garbage.avatar", "not an avatar")}) {
    const auto invalid = thrown<InvalidAvatar>(c, source);
    ASSERT_TRUE(invalid);
    EXPECT_STREQ(invalid->what(), "that is not a usable avatar");
    EXPECT_TRUE(invalid->detail().is_exception());
  }
  // An unpack that ends without a manifest would block the entry's name for good if it were published.
  {
    Outside no_manifest;
    no_manifest.unfold_imx = [](const std::string&, const std::string& dest, std::uint64_t, std::stop_token) {
      write_member(dest, "data/model.bin", std::vector<std::uint8_t>(10));
    };
    ScopedOutside services{no_manifest};
    const auto invalid = thrown<InvalidAvatar>(c, cache.avatar("no-manifest"));
    ASSERT_TRUE(invalid);
    EXPECT_EQ(invalid->detail().text(), "the unpacked avatar has no manifest.json");
  }
  EXPECT_EQ(names_in(cache.avatars()), std::vector<std::string>{".idx"});

  // A folder under the entry's name that is not complete blocks the move of the unpacked one.
  const std::string source = cache.avatar("blocked");
  const std::string entry = cache.entry_of(source);
  fs::create_directories(entry);
  write_file(entry + "/stray", "x");
  const auto blocked = thrown<Failed>(c, source);
  ASSERT_TRUE(blocked);
  EXPECT_STREQ(blocked->what(), "could not prepare that avatar");
  EXPECT_NE(blocked->detail().text().find(entry), std::string::npos) << blocked->detail().text();
  EXPECT_EQ(names_in(entry), std::vector<std::string>{"stray"});
  EXPECT_EQ(names_in(cache.avatars()).size(), 2u);

  // The source itself missing is the file system's error, and no unpacker is an import error.
  const auto missing = thrown<std::system_error>(c, cache.dir.str() + "/missing.avatar");
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->code(), std::errc::no_such_file_or_directory);
  ScopedOutside none{Outside{}};
  const auto no_unpacker = thrown<ImportError>(c, cache.avatar("fine"));
  ASSERT_TRUE(no_unpacker);
  EXPECT_STREQ(no_unpacker->what(), "this build has no avatar unpacker");
}

// A stray folder, idle for hours, that any sweep at cap 0 evicts: whether it survives shows whether a sweep ran.
struct SweepProbe {
  std::string path;
  explicit SweepProbe(const CacheScope& cache) : path(cache.avatars() + "/stray") {}
  void plant() const { make_folder(fs::path(path).parent_path().string(), "stray", 10, false, wall_now() - 10000); }
  bool swept() const { return !exists(path); }
};

TEST(Materialise, SweepsAtTheFirstHitAndAfterEveryUnpackButNotAfterALostRace) {
  CacheScope cache;
  ScopedEnv cap("VELMORA_AVATAR_CACHE_GB", "0");
  const std::string x = cache.avatar("x"), y = cache.avatar("y"), z = cache.avatar("z");
  const SweepProbe probe(cache);
  AvatarCache a;
  a.materialise(x);  // the folders appear with the first unpack
  probe.plant();
  a.materialise(x);
  EXPECT_FALSE(probe.swept()) << "a hit after a sweep";
  a.materialise(y);
  EXPECT_TRUE(probe.swept()) << "an unpack";

  AvatarCache b;
  probe.plant();
  b.materialise(x);
  EXPECT_TRUE(probe.swept()) << "the first hit";
  probe.plant();
  b.materialise(y);
  EXPECT_FALSE(probe.swept()) << "a later hit";

  // Another process publishes z while this one unpacks it: this one's move fails and it takes the winner's.
  Outside racing;
  racing.unfold_imx = [&](const std::string& source, const std::string& dest, std::uint64_t, std::stop_token) {
    testing::fake_unfold(source, dest);
    const std::string winner = cache.entry_of(z) + ".tmp.1";
    fs::create_directories(winner);
    testing::fake_unfold(source, winner);
    fs::rename(winner, cache.entry_of(z));
  };
  ScopedOutside services{racing};
  AvatarCache c;
  probe.plant();
  EXPECT_EQ(c.materialise(z), cache.entry_of(z));
  EXPECT_FALSE(probe.swept()) << "a lost race";
  EXPECT_FALSE(c.swept());
  EXPECT_EQ(c.held_count(), 1u);
  EXPECT_EQ(testing::check_unpacked(cache.entry_of(z), z), "");
  EXPECT_EQ(names_in(cache.avatars()).size(), 5u);  // .idx, x, y, z and the probe: no temporary folder
}

bool descriptor_on(const std::string& file, bool* cloexec) {
  const std::string target = fs::canonical(file).string();
  for (const auto& e : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    if (fs::read_symlink(e.path(), ec).string() != target) continue;
    const int fd = std::stoi(e.path().filename().string());
    *cloexec = (::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0;
    return true;
  }
  return false;
}

TEST(Holds, OneLockedCloseOnExecDescriptorPerEntryThatEveryProbeSees) {
  CacheScope cache;
  const std::string source = cache.avatar("a");
  const std::string entry = cache.entry_of(source);
  auto holder = std::make_unique<AvatarCache>();
  holder->materialise(source);
  set_mtime(entry, wall_now() - 5000);
  holder->materialise(source);
  EXPECT_GT(mtime_of(entry), wall_now() - 60) << "touched again";
  EXPECT_EQ(holder->held_count(), 1u);
  bool cloexec = false;
  ASSERT_TRUE(descriptor_on(entry + "/manifest.json", &cloexec));
  EXPECT_TRUE(cloexec);

  // Locks belong to open file descriptions: the holder's own probe sees its hold as well as another's does.
  AvatarCache other;
  EXPECT_TRUE(holder->in_use(entry, 5000));
  EXPECT_TRUE(other.in_use(entry, 5000));
  holder.reset();
  EXPECT_FALSE(other.in_use(entry, 5000));

  // An entry without a manifest cannot be held and is never in use.
  const std::string bare = make_folder(cache.avatars(), "sha256-bare", 10, false, wall_now());
  EXPECT_EQ(other.hold(bare), AvatarCache::Hold::gone);
  EXPECT_EQ(other.held_count(), 0u);
  EXPECT_FALSE(other.in_use(bare, 5000));
}

// Waits (10 s at most) until this process has `path` open more than `already` times, as /proc/self/fd shows.
bool opened_again(const std::string& path, int already) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < until) {
    int open = 0;
    std::error_code ec;
    for (const auto& fd : fs::directory_iterator("/proc/self/fd", ec)) {
      if (fs::read_symlink(fd.path(), ec) == path) ++open;
    }
    if (open > already) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return false;
}

// A sweeper that has the entry's exclusive lock when a taker comes, and renames the entry aside and publishes
// a new one before letting go: the taker must notice that what it locked is no longer the entry.
TEST(Holds, ATakerThatLocksAnEntrySetAsideUnpacksAnew) {
  CacheScope cache;
  const std::string source = cache.avatar("a", 5, 100);
  const std::string entry = cache.entry_of(source);
  AvatarCache().materialise(source);
  const int calls = unfold_calls();

  for (const bool through_materialise : {false, true}) {
    const int lock = ::open((entry + "/manifest.json").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(lock, LOCK_EX | LOCK_NB), 0);
    AvatarCache taker;
    auto taken = std::async(std::launch::async, [&] {
      return through_materialise ? taker.materialise(source)
                                 : std::string(taker.hold(entry) == AvatarCache::Hold::gone ? "gone" : "held");
    });
    // The taker has opened the entry's manifest, and now waits for its lock.
    ASSERT_TRUE(opened_again(fs::absolute(entry + "/manifest.json").string(), 1));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    fs::rename(entry, entry + ".tmp.1");
    if (!through_materialise) AvatarCache().materialise(source);  // someone publishes it anew
    ::close(lock);
    const std::string got = taken.get();
    if (through_materialise) {
      EXPECT_EQ(got, entry);
      EXPECT_EQ(testing::check_unpacked(entry, source), "");
      EXPECT_EQ(taker.held_count(), 1u);
      EXPECT_TRUE(taker.in_use(entry, 0));
    } else {
      EXPECT_EQ(got, "gone");
      EXPECT_EQ(taker.held_count(), 0u);
    }
    fs::remove_all(entry + ".tmp.1");
  }
  EXPECT_EQ(unfold_calls(), calls + 2);
}

}  // namespace
}  // namespace velmora::detail
