// The C++ side of the Python tests and of the Python loop's benchmark: renders audio through the public C++ API
// and prints one line per frame, "<rows> <columns> <channels> <index> <sha256 of the pixels>", or with --time N
// renders the audio N times on the same avatar and prints for each render only its number of frames and the
// seconds from render() to the end of its frame loop.
//
//   velmora_frames [--time N] <avatar> [--stream] <item>...
//
// An item is "pcm:FILE" (PCM bytes), "i16:FILE", "f32:FILE" or "f64:FILE" (raw samples in the machine's order)
// or "file:PATH" (an audio file). Without --stream the one item is the render's whole clip; with it the items
// are a stream. Errors go to stderr as "<kind>: <message>", status 1.
#include <chrono>
#include <cstring>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "common/file_read.h"
#include "common/sha256.h"
#include "velmora/velmora.hpp"

namespace {

using namespace velmora;

template <class T>
std::vector<T> read_samples(const std::string& path) {
  const std::string bytes = read_file(path);
  std::vector<T> out(bytes.size() / sizeof(T));
  std::memcpy(out.data(), bytes.data(), out.size() * sizeof(T));
  return out;
}

AudioItem item(const std::string& arg) {
  const auto colon = arg.find(':');
  if (colon == std::string::npos) throw ValueError("an item is <kind>:<file>: " + arg);
  const std::string kind = arg.substr(0, colon), path = arg.substr(colon + 1);
  if (kind == "file") return AudioItem::file(path);
  if (kind == "pcm") {
    const std::string b = read_file(path);
    return AudioItem::pcm(std::span(reinterpret_cast<const std::uint8_t*>(b.data()), b.size()));
  }
  if (kind == "i16") return AudioItem::samples(std::span<const std::int16_t>(read_samples<std::int16_t>(path)));
  if (kind == "f32") return AudioItem::samples(std::span<const float>(read_samples<float>(path)));
  if (kind == "f64") return AudioItem::samples(std::span<const double>(read_samples<double>(path)));
  throw ValueError("no such item kind: " + kind);
}

void print_digests(FrameStream frames) {
  for (const Frame& f : frames) {
    Sha256 digest;
    digest.update(f.pixels().data(), f.pixels().size());
    std::printf("%zu %zu %zu %lld %s\n", f.height(), f.width(), f.channels(), static_cast<long long>(f.index),
                digest.hex_digest().c_str());
  }
}

int run(int argc, char** argv) {
  int at = 1;
  int timed_renders = 0;
  if (at + 1 < argc && std::string(argv[at]) == "--time") {
    timed_renders = std::stoi(argv[at + 1]);
    at += 2;
  }
  if (at >= argc) throw ValueError("usage: velmora_frames [--time N] <avatar> [--stream] <item>...");
  Avatar avatar = open(argv[at++]);
  const bool stream = at < argc && std::string(argv[at]) == "--stream";
  if (stream) ++at;
  const std::vector<std::string> items(argv + at, argv + argc);
  if (!stream && items.size() != 1) throw ValueError("a whole clip is one item");
  auto audio = [&] {
    std::vector<AudioItem> converted;
    for (const std::string& arg : items) converted.push_back(item(arg));
    return stream ? AudioInput::stream(std::move(converted)) : AudioInput(std::move(converted.front()));
  };
  if (timed_renders == 0) print_digests(avatar.render(audio()));
  for (int i = 0; i < timed_renders; ++i) {
    AudioInput input = audio();
    const auto t0 = std::chrono::steady_clock::now();
    std::int64_t count = 0;
    for (const Frame& f : avatar.render(std::move(input))) count += f.bytes > 0;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("%lld %.9f\n", static_cast<long long>(count), seconds);
  }
  avatar.close();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const AvatarError& e) {
    std::fprintf(stderr, "AvatarError: %s\n", e.what());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "error: %s\n", e.what());
  }
  return 1;
}
