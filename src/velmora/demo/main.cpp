// velmora_demo <avatar> <audio file> [<video.mp4>]: opens the avatar through the Avatar API, renders the audio,
// and prints what came out; with a video name, renders it once more into that MP4 file. Exit status 0 when the
// render gave the frames its audio implies, 1 when it failed, 2 for a wrong command line.
#include <chrono>
#include <cstdio>
#include <exception>
#include <string>

#include "velmora/velmora.hpp"

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) {
    std::fprintf(stderr, "usage: velmora_demo <avatar> <audio file> [<video.mp4>]\n");
    return 2;
  }
  try {
    const auto t0 = std::chrono::steady_clock::now();
    velmora::Avatar avatar = velmora::open(argv[1]);
    const double opened = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("velmora_demo: opened a %s avatar in %.2f s\n", avatar.engine_id().c_str(), opened);
    std::int64_t frames = 0;
    std::size_t rows = 0, cols = 0;
    for (const velmora::Frame& f : avatar.render(velmora::AudioInput::file(argv[2]))) {
      rows = f.shape[0];
      cols = f.shape[1];
      ++frames;
    }
    const auto stats = avatar.render_stats();
    std::printf("velmora_demo: %lld frames of %zu x %zu RGB", static_cast<long long>(frames), cols, rows);
    if (stats) std::printf(" in %.2f s (%.1f fps)", stats->render_seconds, stats->render_fps);
    std::printf("\n");
    if (argc == 4) {
      const std::int64_t written = avatar.render(velmora::AudioInput::file(argv[2]), argv[3]);
      std::printf("velmora_demo: wrote %lld frames of video and the speech to %s\n", static_cast<long long>(written),
                  argv[3]);
    }
    avatar.close();
    return 0;
  } catch (const velmora::AvatarError& e) {
    std::fprintf(stderr, "velmora_demo: %s\n", e.what());
    if (!e.detail().empty()) std::fprintf(stderr, "velmora_demo: detail: %s\n", e.detail().text().c_str());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "velmora_demo: %s\n", e.what());
  }
  return 1;
}
