// An audio file to the render's PCM: a 30-minute speech-length file (AAC in M4A, 44.1 kHz stereo, made once by
// the ffmpeg program at the start, or the file that BENCH_AUDIO_FILE names), decoded through the ffmpeg program
// and through the libraries in process (the road without the program). One decode per iteration; "pcm_mb" is
// the PCM it gives. For peak memory, run one of them alone under /usr/bin/time -v (--benchmark_filter), on a
// file made before (the maker's memory counts too).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "velmora/audio_input.h"

namespace {

constexpr int MINUTES = 30;

// Made at the first use, removed at the end of the program.
struct LongFile {
  std::filesystem::path dir;
  std::string path;
  LongFile() {
    char tmpl[] = "/tmp/bench_audio_decode.XXXXXX";
    if (!::mkdtemp(tmpl)) std::abort();
    dir = tmpl;
    path = (dir / "talk.m4a").string();
    const std::string make = "ffmpeg -nostdin -loglevel error -f lavfi -i sine=frequency=220:sample_rate=44100:"
                             "duration=" + std::to_string(MINUTES * 60) + " -ac 2 -c:a aac -b:a 128k " + path;
    if (std::system(make.c_str()) != 0) {
      std::fprintf(stderr, "could not make the audio file\n");
      std::abort();
    }
  }
  ~LongFile() { std::filesystem::remove_all(dir); }
};

const std::string& long_file() {
  static const std::string given = std::getenv("BENCH_AUDIO_FILE") ? std::getenv("BENCH_AUDIO_FILE") : "";
  if (!given.empty()) return given;
  static const LongFile file;
  return file.path;
}

void decode(benchmark::State& state, bool by_program) {
  const std::string& path = long_file();
  // Without the program on PATH, decode_path takes the libraries' road.
  const std::string saved = std::getenv("PATH") ? std::getenv("PATH") : "";
  if (!by_program) ::setenv("PATH", "/nonexistent", 1);
  std::size_t bytes = 0;
  for (auto _ : state) {
    const velmora::Pcm pcm = velmora::detail::decode_path(path);
    bytes = pcm.size();
    benchmark::DoNotOptimize(pcm.data());
  }
  ::setenv("PATH", saved.c_str(), 1);
  state.counters["pcm_mb"] = static_cast<double>(bytes) / 1e6;
}

void BM_DecodeByProgram(benchmark::State& state) { decode(state, true); }
void BM_DecodeInProcess(benchmark::State& state) { decode(state, false); }

BENCHMARK(BM_DecodeByProgram)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_DecodeInProcess)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
