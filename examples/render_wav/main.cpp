// render_wav <avatar> <speech.wav> <frame.ppm>: opens the avatar, renders the speech, counts the frames and
// writes the last one as a PPM image. Exit status 0 on success, 1 when something failed, 2 for a wrong command.
#include <velmora/velmora.hpp>

#include <cstdio>
#include <fstream>
#include <optional>

namespace {

// A binary PPM (P6) image of an 8-bit RGB frame.
bool write_ppm(const char* path, const velmora::Frame& frame) {
  std::ofstream out(path, std::ios::binary);
  out << "P6\n" << frame.width() << ' ' << frame.height() << "\n255\n";
  for (std::size_t row = 0; row < frame.height(); ++row) {
    const auto pixels = frame.pixels().subspan(row * frame.row_stride(), frame.width() * 3);
    out.write(reinterpret_cast<const char*>(pixels.data()), static_cast<std::streamsize>(pixels.size()));
  }
  return static_cast<bool>(out.flush());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: render_wav <avatar> <speech.wav> <frame.ppm>\n");
    return 2;
  }
  try {
    velmora::Avatar avatar = velmora::open(argv[1]);
    long long count = 0;
    std::optional<velmora::Frame> last;
    for (const velmora::Frame& frame : avatar.render(argv[2])) {
      ++count;
      last = frame;  // a copy shares the pixels
    }
    std::printf("render_wav: %lld frames from a %s avatar", count, avatar.engine_id().c_str());
    if (const auto stats = avatar.render_stats()) {
      std::printf(" in %.2f s (%.1f fps)", stats->render_seconds, stats->render_fps);
    }
    std::printf("\n");
    avatar.close();
    if (!last || last->type != velmora::ElementType::u8 || last->channels() != 3) {
      std::fprintf(stderr, "render_wav: no RGB frame to write\n");
      return 1;
    }
    if (!write_ppm(argv[3], *last)) {
      std::fprintf(stderr, "render_wav: could not write %s\n", argv[3]);
      return 1;
    }
    std::printf("render_wav: the last frame, %zu x %zu (width x height), written to %s\n", last->width(),
                last->height(), argv[3]);
    return 0;
  } catch (const velmora::AvatarError& e) {
    std::fprintf(stderr, "render_wav: %s\n", e.what());
    if (!e.detail().empty()) std::fprintf(stderr, "render_wav: detail: %s\n", e.detail().text().c_str());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "render_wav: %s\n", e.what());
  }
  return 1;
}
