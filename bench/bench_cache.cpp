// The avatar cache on the way into open(): a hit on an entry this process already holds (key record read,
// marker test, touch), the first hit of a process (hold and a sweep over a cache of 20 entries), the content
// key of a 64 MiB avatar file without its record (the hash the records spare), and a hit while another thread
// of the process hashes and unpacks a 150 MB avatar (it should cost what a hit alone costs).
#include <benchmark/benchmark.h>

#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_dir.h"
#include "velmora/avatar_cache.h"
#include "velmora/outside.h"
#include "velmora/unfold.h"

namespace {

using velmora::detail::AvatarCache;

struct Cache {
  velmora::testing::TempDir dir;
  velmora::testing::ScopedEnv root{"VELMORA_CACHE_DIR", dir.str() + "/root"};
  velmora::detail::ScopedOutside services{[] {
    velmora::detail::Outside s;
    s.unfold_imx = [](const std::string&, const std::string& dest, std::uint64_t, std::stop_token) {
      const std::string member(64 * 1024, 'm');
      const auto bytes = std::span(reinterpret_cast<const std::uint8_t*>(member.data()), member.size());
      for (int i = 0; i < 8; ++i) velmora::detail::write_member(dest, std::string("data/part-").append(std::to_string(i)), bytes);
      velmora::detail::write_member(dest, "manifest.json", bytes.first(2));
    };
    return s;
  }()};
  std::string avatar(int i) const {
    const std::string n = std::to_string(i);
    return dir.write(std::string("a").append(n).append(".avatar"), std::string("avatar ").append(n));
  }
};

void BM_HitOnAHeldEntry(benchmark::State& state) {
  Cache cache;
  const std::string source = cache.avatar(0);
  AvatarCache process;
  process.materialise(source);
  for (auto _ : state) benchmark::DoNotOptimize(process.materialise(source));
}
BENCHMARK(BM_HitOnAHeldEntry);

void BM_FirstHitOfAProcessWithItsSweep(benchmark::State& state) {
  Cache cache;
  for (int i = 0; i < 20; ++i) AvatarCache().materialise(cache.avatar(i));
  const std::string source = cache.avatar(0);
  for (auto _ : state) {
    AvatarCache process;
    benchmark::DoNotOptimize(process.materialise(source));
  }
}
BENCHMARK(BM_FirstHitOfAProcessWithItsSweep);

void BM_ContentKeyWithoutARecord(benchmark::State& state) {
  Cache cache;
  const std::string source = cache.dir.write("big.avatar", std::string(64 << 20, 'x'));
  struct stat st;
  ::stat(source.c_str(), &st);
  for (auto _ : state) {
    std::filesystem::remove_all(cache.dir.str() + "/root");
    benchmark::DoNotOptimize(velmora::detail::content_key(source, st, cache.dir.str() + "/root/avatars", 1));
  }
  state.SetBytesProcessed(state.iterations() * st.st_size);
}
BENCHMARK(BM_ContentKeyWithoutARecord)->Unit(benchmark::kMillisecond);

// Unpacks by copying the avatar file into members of 4 MiB, as a container of that size would be written out.
void copy_into_members(const std::string& source, const std::string& dest, std::uint64_t, std::stop_token) {
  std::ifstream in(source, std::ios::binary);
  std::vector<char> block(4 << 20);
  for (int i = 0; in.read(block.data(), static_cast<std::streamsize>(block.size())) || in.gcount() > 0; ++i) {
    const auto bytes = std::span(reinterpret_cast<const std::uint8_t*>(block.data()), static_cast<std::size_t>(in.gcount()));
    velmora::detail::write_member(dest, "data/part-" + std::to_string(i), bytes);
  }
  velmora::detail::write_member(dest, "manifest.json", std::span<const std::uint8_t>());
}

// A hit on a held entry, timed once per round after a pause; with the argument 1, while another thread hashes
// and unpacks a 150 MB avatar (the argument 0 is the same round alone, for comparison).
void BM_HitWhileAnotherThreadUnpacks150MB(benchmark::State& state) {
  const bool beside_an_unpack = state.range(0) != 0;
  velmora::testing::TempDir dir;
  velmora::testing::ScopedEnv root{"VELMORA_CACHE_DIR", dir.str() + "/root"};
  velmora::detail::ScopedOutside services{[] {
    velmora::detail::Outside s;
    s.unfold_imx = copy_into_members;
    return s;
  }()};
  const std::string small = dir.write("small.avatar", "a small avatar");
  const std::string big = dir.write("big.avatar", std::string(150'000'000, 'b'));
  const std::string avatars = dir.str() + "/root/avatars";
  AvatarCache process;
  const std::string cached = process.materialise(small);
  for (auto _ : state) {
    std::thread unpacking;
    if (beside_an_unpack) unpacking = std::thread([&] { process.materialise(big); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // well into the big avatar's hash
    const auto t0 = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(process.materialise(small));
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    if (!beside_an_unpack) continue;
    unpacking.join();
    // The next round hashes and unpacks the big avatar again: its entry and every key record go (the small
    // avatar's record is written again, untimed).
    for (const auto& item : std::filesystem::directory_iterator(avatars)) {
      if (item.path() != cached) std::filesystem::remove_all(item.path());
    }
    process.materialise(small);
  }
}
BENCHMARK(BM_HitWhileAnotherThreadUnpacks150MB)->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
