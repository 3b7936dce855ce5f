// One process of the multi-process cache tests. Usage: cache_helper <command> <cache root> <arguments...>
//
//   take <avatar>                 prints "ready", waits for a line, materialises the avatar in the process
//                                 cache and prints "took <entry> <unpacks> <problem or ok>"; then keeps the
//                                 hold until its input ends
//   taker <avatar> <rounds>       per round a fresh cache state (as a new process would have): materialise,
//                                 check the folder, check it again a moment later, let go
//   sweeper                       sweeps again and again, with every entry looking two hours idle, until its
//                                 input ends
//   stress <rounds> <seed> <avatar>...
//                                 per round a fresh cache state whose clock runs two hours ahead (so every
//                                 entry nobody holds is evictable): materialise a random avatar, check, hold a
//                                 moment, check again, let go
// The rounding commands end with one line of counts. FAKE_UNFOLD_DELAY_US slows each unpacked file.
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/pytext.h"
#include "velmora/avatar_cache.h"
#include "velmora/errors.hpp"
#include "velmora/materialise.h"
#include "velmora/outside.h"
#include "velmora/support/fake_avatar.h"

namespace {

using velmora::detail::AvatarCache;
using velmora::detail::CacheOptions;
using velmora::testing::check_unpacked;
using velmora::testing::unfold_calls;

constexpr double AHEAD_S = 7200;

std::string describe(const std::exception& e) {
  std::string text = e.what();
  if (const auto* refusal = dynamic_cast<const velmora::AvatarError*>(&e)) text += " (" + refusal->detail().text() + ")";
  return text;
}

double ahead_clock() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count() + AHEAD_S;
}

bool input_ended() {
  pollfd p{0, POLLIN, 0};
  if (::poll(&p, 1, 0) <= 0) return false;
  char c;
  return ::read(0, &c, 1) <= 0;
}

void wait_for_end_of_input() {
  char c;
  while (::read(0, &c, 1) > 0) {
  }
}

// A folder checked twice, with the hold kept in between, so a deletion under the holder shows.
std::string check_twice(const std::string& folder, const std::string& avatar, std::chrono::microseconds pause) {
  std::string problem = check_unpacked(folder, avatar);
  if (!problem.empty()) return problem;
  std::this_thread::sleep_for(pause);
  return check_unpacked(folder, avatar);
}

int take(const std::string& avatar) {
  std::cout << "ready" << std::endl;
  std::string go;
  std::getline(std::cin, go);
  std::string line;
  try {
    const std::string entry = velmora::detail::materialise(avatar);
    const std::string problem = check_unpacked(entry, avatar);
    line = "took " + entry + " " + std::to_string(unfold_calls().load()) + " " + (problem.empty() ? "ok" : problem);
  } catch (const std::exception& e) {
    line = "error " + describe(e);
  }
  std::cout << line << std::endl;
  wait_for_end_of_input();
  return 0;
}

// The rounds of a taker or a stress worker: each takes `avatar` through a fresh cache state, checks the folder
// twice with the hold kept for `pause` in between, and lets go. The first problem of each kind goes to stderr.
class Rounds {
 public:
  explicit Rounds(std::string who) : who_(std::move(who)) {}
  void take(const CacheOptions& options, const std::string& avatar, std::chrono::microseconds pause) {
    ++rounds_;
    try {
      AvatarCache cache(options);
      const std::string problem = check_twice(cache.materialise(avatar), avatar, pause);
      if (!problem.empty() && broken_++ == 0) std::cerr << who_ << ": " << problem << "\n";
    } catch (const std::exception& e) {
      if (errors_++ == 0) std::cerr << who_ << ": " << describe(e) << "\n";
    }
  }
  int report() const {
    std::cout << who_ << " rounds=" << rounds_ << " unpacks=" << unfold_calls() << " broken=" << broken_
              << " errors=" << errors_ << std::endl;
    return 0;
  }

 private:
  std::string who_;
  int rounds_ = 0, broken_ = 0, errors_ = 0;
};

int taker(const std::string& avatar, int rounds) {
  std::mt19937 rng(static_cast<unsigned>(::getpid()));
  Rounds tally("taker");
  for (int i = 0; i < rounds; ++i) {
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 500));  // a moment without a hold
    tally.take(CacheOptions{}, avatar, std::chrono::microseconds(200));
  }
  return tally.report();
}

int sweeper(const std::string& root) {
  const std::string avatars = velmora::path_join(root, "avatars");
  long passes = 0;
  while (!input_ended()) {
    AvatarCache cache(CacheOptions{.clock = ahead_clock});
    cache.sweep(avatars, "");
    ++passes;
  }
  std::cout << "sweeper passes=" << passes << std::endl;
  return 0;
}

int stress(int rounds, unsigned seed, const std::vector<std::string>& avatars) {
  std::mt19937 rng(seed);
  Rounds tally("stress");
  for (int i = 0; i < rounds; ++i) {
    const std::string& avatar = avatars[rng() % avatars.size()];
    tally.take(CacheOptions{.clock = ahead_clock}, avatar, std::chrono::microseconds(rng() % 2000));
  }
  return tally.report();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: cache_helper <command> <cache root> <arguments...>\n";
    return 2;
  }
  const std::string command = argv[1];
  const std::string root = argv[2];
  ::setenv("VELMORA_CACHE_DIR", root.c_str(), 1);
  if (const char* us = std::getenv("FAKE_UNFOLD_DELAY_US")) {
    velmora::testing::set_unfold_delay(std::chrono::microseconds(std::atoll(us)));
  }
  velmora::detail::install_outside(velmora::testing::fake_outside());
  if (command == "take" && argc == 4) return take(argv[3]);
  if (command == "taker" && argc == 5) return taker(argv[3], std::atoi(argv[4]));
  if (command == "sweeper" && argc == 3) return sweeper(root);
  if (command == "stress" && argc >= 6) {
    return stress(std::atoi(argv[3]), static_cast<unsigned>(std::atol(argv[4])),
                  std::vector<std::string>(argv + 5, argv + argc));
  }
  std::cerr << "cache_helper: bad command line\n";
  return 2;
}
