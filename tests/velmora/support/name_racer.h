#pragma once
// Another process moving names in a video's folder while the video is written: a thread that exchanges the
// target's name with a file, a symbolic link or a folder over and over, or that exchanges every temporary
// name of a writer (its named temporary, its private folder) with a decoy as soon as it sees one. And the
// tally of what each write left: files lost, a user's file under a temporary's name, a success without the
// video at the target.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace velmora::testing {

enum class Racer { target_and_file, target_and_link, target_and_folder, temporary_and_decoy };

inline const char* racer_name(Racer r) {
  switch (r) {
    case Racer::target_and_file:
      return "the target exchanged with a file";
    case Racer::target_and_link:
      return "the target exchanged with a link";
    case Racer::target_and_folder:
      return "the target exchanged with a folder";
    case Racer::temporary_and_decoy:
      return "a temporary's name exchanged with a decoy";
  }
  return "?";
}

// How many rounds a racer test runs: `quick` by default, `full` when VELMORA_FULL_RACERS is set.
inline int racer_rounds(int quick, int full) { return std::getenv("VELMORA_FULL_RACERS") ? full : quick; }

// Named as a writer names its temporaries and its private folders.
inline bool temporary_named(const std::string& name) {
  return name.size() > 6 && name[0] == '.' && name.ends_with(".part");
}

// One round's folder: talk.mp4 (the user's video, the target), other (a file, a link or a folder with a file
// in it), decoy.mp4 and the folder decoys/ (with a file in it), all the user's.
struct RaceScene {
  TempDir dir;
  std::string talk = dir.write("talk.mp4", "the user's video");
  std::string other = (dir.path() / "other").string();
  std::string decoy = dir.write("decoy.mp4", "a decoy");
  std::string decoys = (std::filesystem::path(dir.write("decoys/inside", "in a decoy folder"))).parent_path().string();
  std::set<ino_t> users;  // every file of the user's, by inode
  std::set<ino_t> passing;  // the regular files that pass through the target's name, one of which a write replaces

  explicit RaceScene(Racer r) {
    if (r == Racer::target_and_link) {
      std::filesystem::create_symlink("linked.mp4", other);  // followed, it is a new file
    } else if (r == Racer::target_and_folder) {
      dir.write("other/inside", "in the other folder");
    } else {
      dir.write("other", "another file");
    }
    for (const auto& [ino, name] : inodes()) users.insert(ino);
    for (const std::string& name : {talk, other}) {
      struct stat st {};
      if (::lstat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode)) passing.insert(st.st_ino);
    }
  }

  // Every name under the folder by inode, never a link followed.
  std::map<ino_t, std::string> inodes() const {
    std::map<ino_t, std::string> found;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir.path())) {
      struct stat st {};
      if (::lstat(e.path().c_str(), &st) == 0) found[st.st_ino] = e.path().lexically_relative(dir.path()).string();
    }
    return found;
  }
};

// Exchanges names in a scene's folder until it is destroyed.
class NameRacer {
 public:
  NameRacer(const RaceScene& s, Racer r)
      : thread_([this, &s, r] {
          while (racing_) {
            if (r != Racer::temporary_and_decoy) {
              ::renameat2(AT_FDCWD, s.talk.c_str(), AT_FDCWD, s.other.c_str(), RENAME_EXCHANGE);
              continue;
            }
            std::error_code ec;
            for (const auto& e : std::filesystem::directory_iterator(s.dir.path(), ec)) {
              if (!temporary_named(e.path().filename().string())) continue;
              const std::string& with = (moves_++ % 2) ? s.decoy : s.decoys;
              ::renameat2(AT_FDCWD, e.path().c_str(), AT_FDCWD, with.c_str(), RENAME_EXCHANGE);
            }
          }
        }) {}
  ~NameRacer() {
    racing_ = false;
    thread_.join();
  }

 private:
  std::atomic<bool> racing_{true};
  unsigned moves_ = 0;
  std::thread thread_;
};

// What the rounds of one racer left.
struct RaceTally {
  int rounds = 0, succeeded = 0, failed = 0;
  int lost = 0;  // a user's file gone that was not at the target's name (a second one, or any after a failure)
  int under_temporary = 0;   // a user's file under a temporary's name
  int without_video = 0;     // a success without the video at the target (or where the racer moves it)
  std::string first_fault;

  // Adds a round that ended (`ok`: the write succeeded; `video`: its inode, 0 when not known; `detail`: the
  // failure's).
  void add(const RaceScene& s, Racer r, bool ok, ino_t video, const std::string& detail) {
    ++rounds;
    ok ? ++succeeded : ++failed;
    const std::map<ino_t, std::string> now = s.inodes();
    const auto fault = [&](int& count, const std::string& what) {
      ++count;
      if (!first_fault.empty()) return;
      first_fault = what + " (round " + std::to_string(rounds) + "): " + detail + "; left:";
      for (const auto& [ino, name] : now) first_fault += " " + name + (s.users.count(ino) ? "" : " (not the user's)");
    };
    int replaced = 0;
    for (const ino_t ino : s.users) {
      const auto at = now.find(ino);
      if (at == now.end()) {
        if (!ok || !s.passing.count(ino) || ++replaced > 1) fault(lost, "a user's file was removed");
        continue;
      }
      const std::string top = at->second.substr(0, at->second.find('/'));
      if (temporary_named(top)) fault(under_temporary, "a user's file is under " + at->second);
    }
    if (ok && !video) {
      // Any new file at the target's name, or where the racer may have moved it.
      for (const char* name : {"talk.mp4", "other", "linked.mp4"}) {
        for (const auto& [ino, at] : now) video = !video && at == name && !s.users.count(ino) ? ino : video;
      }
    }
    if (ok) {
      const auto at = now.find(video);
      // Where the racer may have moved it since, or where the link it put at the target led.
      const bool placed = at != now.end() && (at->second == "talk.mp4" ||
                                              (r != Racer::temporary_and_decoy && at->second == "other") ||
                                              (r == Racer::target_and_link && at->second == "linked.mp4"));
      if (!placed) fault(without_video, "success without the video at the target");
    }
  }
  void print(const char* road, Racer r) const {
    std::printf("%s, %s: %d rounds, %d succeeded, %d failed; lost %d, under a temporary's name %d, success "
                "without the video %d\n",
                road, racer_name(r), rounds, succeeded, failed, lost, under_temporary, without_video);
    if (!first_fault.empty()) std::printf("  the first: %s\n", first_fault.c_str());
  }
  // Prints the tally and fails the test on any fault.
  void expect_no_fault(const char* road, Racer r) const {
    print(road, r);
    EXPECT_EQ(lost, 0) << first_fault;
    EXPECT_EQ(under_temporary, 0) << first_fault;
    EXPECT_EQ(without_video, 0) << first_fault;
  }
};

}  // namespace velmora::testing
