// The avatar cache on the way into open(): a hit on an entry this process already holds (key record read,
// marker test, touch), the first hit of a process (hold and a sweep over a cache of 20 entries), and the
// content key of a 64 MiB avatar file without its record (the hash the records spare).
#include <benchmark/benchmark.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/temp_dir.h"
#include "velmora/cache_detail.h"
#include "velmora/outside.h"
#include "velmora/unfold.h"

namespace {

using velmora::detail::AvatarCache;

struct Cache {
  velmora::testing::TempDir dir;
  velmora::testing::ScopedEnv root{"VELMORA_CACHE_DIR", dir.str() + "/root"};
  velmora::detail::ScopedOutside services{[] {
    velmora::detail::Outside s;
    s.unfold_imx = [](const std::string&, const std::string& dest, std::uint64_t) {
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

}  // namespace

BENCHMARK_MAIN();
