// One MP4 file being written: the temporary file and its writes, the two encoders and the container.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/mathematics.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <limits>
#include <optional>
#include <stop_token>
#include <string_view>
#include <system_error>
#include <vector>

#include "common/child_process.h"
#include "common/fd.h"
#include "common/file_tree.h"
#include "common/pytext.h"
#include "velmora/audio_input.h"
#include "velmora/av.h"
#include "velmora/errors.hpp"
#include "velmora/module.h"
#include "velmora/outside/mp4_writer.h"

namespace velmora::detail {
namespace {

constexpr int IO_BUFFER = 1 << 18;
constexpr int MAX_SIDE = 1 << 15;

[[noreturn]] void fail(const std::string& cause) { throw refuse<Failed>(WRITE_FAILED, cause); }

std::string errno_text(int e) { return std::generic_category().message(e); }

namespace fs = std::filesystem;

// The longest chain of symbolic links followed, as the kernel's limit.
constexpr int MAX_LINKS = 40;

// The file a video for `target` goes to: `target` itself or, when it is a symbolic link, the end of its link
// chain, which may not exist yet. A relative path is taken from the folder `at`, a relative link from the
// link's own folder. Nothing when a link stopped being one while it was read (look again).
std::optional<std::string> link_end(int at, const std::string& target) {
  std::string path = target;
  for (int hops = 0; hops <= MAX_LINKS; ++hops) {
    struct stat st {};
    if (::fstatat(at, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(st.st_mode)) return path;
    char to[PATH_MAX];  // the longest text a link holds is shorter
    const ssize_t n = ::readlinkat(at, path.c_str(), to, sizeof to);
    if (n < 0 && (errno == EINVAL || errno == ENOENT)) return std::nullopt;
    if (n < 0) fail("cannot read the link " + py_repr(path) + ": " + errno_text(errno));
    // An absolute `to` replaces the folder.
    path = (fs::path(path).parent_path() / std::string(to, static_cast<std::size_t>(n))).string();
  }
  fail("cannot follow " + py_repr(target) + ": " + errno_text(ELOOP));
}

// What a file that is neither a regular file nor a folder is.
std::string kind_text(mode_t mode) {
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "a special file";
}

// A number as this writer prints it in a temporary's name: decimal digits, no leading zero.
bool plain_number(std::string_view digits) {
  if (digits.empty() || digits.size() > 19 || (digits[0] == '0' && digits.size() > 1)) return false;
  return std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The process id in `name` when it is named as this writer names its temporaries ("." + name + "." + pid +
// "." + n + ".part"); nothing for any other name, one whose number can be no process id among them.
std::optional<long long> temporary_writer(std::string_view name) {
  constexpr std::string_view SUFFIX = ".part";
  if (!name.starts_with('.') || !name.ends_with(SUFFIX)) return std::nullopt;
  std::string_view rest = name.substr(1, name.size() - 1 - SUFFIX.size());
  const std::size_t n_at = rest.rfind('.');
  if (n_at == std::string_view::npos || !plain_number(rest.substr(n_at + 1))) return std::nullopt;
  rest = rest.substr(0, n_at);
  const std::size_t pid_at = rest.rfind('.');
  if (pid_at == std::string_view::npos || pid_at == 0) return std::nullopt;  // a target name comes first
  const std::string_view pid = rest.substr(pid_at + 1);
  if (!plain_number(pid) || pid == "0") return std::nullopt;
  long long id = 0;
  if (std::from_chars(pid.data(), pid.data() + pid.size(), id).ec != std::errc() || id > INT_MAX) return std::nullopt;
  return id;
}

// The temporary's name for the target's name `name`: as much of `name` as leaves the whole within `limit`
// bytes, cut at a UTF-8 character (at least one byte stays, for the sweep to see a target's name).
std::string temporary_name(const std::string& name, const std::string& tail, std::size_t limit) {
  std::size_t keep = name.size();
  if (1 + keep + tail.size() > limit) {
    keep = limit > tail.size() + 2 ? limit - tail.size() - 1 : 1;
    for (std::size_t at = keep; at > 1; --at) {
      if ((static_cast<unsigned char>(name[at]) & 0xC0) != 0x80) break;  // not inside a character
      keep = at - 1;
    }
  }
  std::string out(".");
  out.append(name, 0, keep).append(tail);
  return out;
}

// The longest name the folder takes.
std::size_t name_limit(int folder) {
  const long limit = ::fpathconf(folder, _PC_NAME_MAX);
  return limit > 0 ? static_cast<std::size_t>(limit) : NAME_MAX;
}

// Removes from the open folder `folder` the temporaries of writers that were killed: regular files named as
// this writer names its own, whose process no longer exists and that no writer holds locked. A process that
// exists, whichever program it runs now, keeps its files. Errors leave a file where it is.
void remove_dead_temporaries(int folder) {
  const int copy = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (copy < 0) return;  // creating the temporary says why
  DIR* dir = ::fdopendir(copy);
  if (!dir) {
    ::close(copy);
    return;
  }
  const int at = ::dirfd(dir);
  while (const dirent* entry = ::readdir(dir)) {
    const std::optional<long long> pid = temporary_writer(entry->d_name);
    if (!pid || pid_alive(*pid)) continue;
    struct stat named {};
    if (::fstatat(at, entry->d_name, &named, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(named.st_mode)) continue;
    const Fd fd(::openat(at, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat opened {};
    // A writer on another machine has a process this one cannot see, but holds its lock.
    if (fd.ok() && ::fstat(fd.get(), &opened) == 0 && opened.st_dev == named.st_dev &&
        opened.st_ino == named.st_ino && ::flock(fd.get(), LOCK_SH | LOCK_NB) == 0) {
      ::unlinkat(at, entry->d_name, 0);
    }
  }
  ::closedir(dir);
}

// The same file: device, inode and kind (the number of a removed file is soon given to the next one made, a
// link among them).
bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && (a.st_mode & S_IFMT) == (b.st_mode & S_IFMT);
}

// What `name` in the open folder `folder` holds now, never a link followed; nothing when it holds nothing.
std::optional<struct stat> held_by(int folder, const std::string& name) {
  struct stat st {};
  if (::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
  return st;
}

// Where a video goes: the end of the target's link chain, as a name in a folder held open, so that what is
// checked is the folder that gets the video, however its path is spelled.
struct Destination {
  std::string path;   // the end of the chain
  std::string shown;  // how errors name it: the target as the caller gave it, and the end when that differs
  Fd folder;          // O_PATH
  std::string name;
  std::optional<struct stat> now;  // what the name holds, never a link; nothing when it is free (or unreachable)
};

// How often the end of a link chain is looked for again when it changed while it was looked at.
constexpr int MAX_LOOKS = 8;

// Where a video for `target` (a relative one from the folder `at`) goes now. Fails when the end's folder
// cannot be opened or the end keeps changing.
Destination locate(int at, const std::string& target) {
  for (int look = 0; look < MAX_LOOKS; ++look) {
    const std::optional<std::string> end = link_end(at, target);
    if (!end) continue;
    Destination d;
    d.path = *end;
    d.shown = d.path == target ? py_repr(target) : py_repr(target) + " (a link to " + py_repr(d.path) + ")";
    const fs::path p(d.path);
    d.name = p.filename().string();
    if (d.name.empty()) fail(d.shown + " names no file");
    const std::string folder = p.parent_path().string();
    d.folder = Fd(::openat(at, folder.empty() ? "." : folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!d.folder.ok()) fail("cannot create " + d.shown + ": " + errno_text(errno));
    d.now = held_by(d.folder.get(), d.name);
    if (d.now && S_ISLNK(d.now->st_mode)) continue;  // made a link since the chain was followed
    return d;
  }
  fail(py_repr(target) + " kept changing while it was looked at");
}

// Refuses `d` when it is the kept file `file` (`k` as it was or as its path names it now) or, for a kept
// folder, anything inside it: a name below it however reached, or a file that one of its names leads to (a
// hard link, or where a link of its own points).
void refuse_kept(const Destination& d, const KeptFile& k, const HeldFile& file) {
  if (d.now && file.is(*d.now)) fail(d.shown + " is " + k.role);
  if (!file.is_folder()) return;
  if (folder_within(d.folder.get(), file.status().st_dev, file.status().st_ino)) {
    fail(d.shown + " is inside " + k.role + ", " + py_repr(k.path));
  }
  if (!d.now) return;
  if (const std::optional<std::string> also = find_in_tree(file.fd(), k.path, d.now->st_dev, d.now->st_ino)) {
    fail(d.shown + " is also " + py_repr(*also) + ", inside " + k.role);
  }
}

// Refuses `d` when it is `k` (a relative path from the folder `at`), as it was when it was taken and as its
// path names it now.
void check_kept(const Destination& d, const KeptFile& k, int at) {
  if (k.held) refuse_kept(d, k, *k.held);
  const std::shared_ptr<const HeldFile> now = HeldFile::open(at, k.path);
  if (now && !(k.held && k.held->is(now->status()))) refuse_kept(d, k, *now);
}

// The temporary file as the container's output.
struct FileSink {
  int fd = -1;
  std::string path;
  std::string shown;  // how errors name the file: the target as the caller gave it
  std::string fault;  // the first failure, for the detail

  void note(const char* what, int e) {
    if (fault.empty()) fault = std::string(what) + " " + shown + ": " + errno_text(e);
  }

  static int write(void* opaque, std::uint8_t* buf, int size) {
    auto* s = static_cast<FileSink*>(opaque);
    if (const int e = write_all_without_sigxfsz(s->fd, buf, static_cast<std::size_t>(size))) {
      s->note("cannot write", e);
      return AVERROR(e);
    }
    return size;
  }

  static std::int64_t seek(void* opaque, std::int64_t offset, int whence) {
    auto* s = static_cast<FileSink*>(opaque);
    if (whence & AVSEEK_SIZE) {
      struct stat st {};
      if (::fstat(s->fd, &st) != 0) return AVERROR(errno);
      return st.st_size;
    }
    const off_t at = ::lseek(s->fd, offset, whence & ~AVSEEK_FORCE);
    if (at < 0) {
      const int e = errno;
      s->note("cannot seek in", e);
      return AVERROR(e);
    }
    return at;
  }
};

// PCM waiting for the audio encoder, kept as the chunks it came in.
class PcmQueue {
 public:
  // Keeps the whole samples of `bytes`; a sample split between two pushes is joined.
  void push(std::span<const std::uint8_t> bytes) {
    const WholeSamples w = whole_samples(bytes, carry_);
    if (!w.joined && w.whole.empty()) return;
    Pcm& c = chunks_.emplace_back();
    c.reserve(2 + w.whole.size());
    if (w.joined) c.insert(c.end(), w.joined->begin(), w.joined->end());
    c.insert(c.end(), w.whole.begin(), w.whole.end());
    bytes_ += c.size();
  }
  std::size_t samples() const { return bytes_ / 2; }

  // Takes `n` (at most samples()) samples as floats in [-1, 1).
  void take(float* out, std::size_t n) {
    bytes_ -= 2 * n;
    while (n > 0) {
      const Pcm& c = chunks_.front();
      const std::size_t got = std::min(n, (c.size() - at_) / 2);
      for (std::size_t i = 0; i < got; ++i) {
        std::int16_t s;
        std::memcpy(&s, c.data() + at_ + 2 * i, 2);
        out[i] = static_cast<float>(s) / 32768.0f;
      }
      at_ += 2 * got;
      if (at_ == c.size()) {
        chunks_.pop_front();
        at_ = 0;
      }
      out += got;
      n -= got;
    }
  }

 private:
  std::deque<Pcm> chunks_;  // each of whole samples
  std::size_t at_ = 0;      // bytes of the front chunk already taken
  std::size_t bytes_ = 0;
  std::optional<std::uint8_t> carry_;
};

AVPixelFormat source_format(std::size_t channels) {
  switch (channels) {
    case 1:
      return AV_PIX_FMT_GRAY8;
    case 3:
      return AV_PIX_FMT_RGB24;
    case 4:
      return AV_PIX_FMT_RGBA;
    default:
      return AV_PIX_FMT_NONE;
  }
}

std::string shape_text(const Frame& f) {
  return std::to_string(f.shape[0]) + " x " + std::to_string(f.shape[1]) + " x " + std::to_string(f.shape[2]);
}

}  // namespace

struct Mp4Output::Impl {
  Mp4Settings settings;
  std::string target;  // as given
  Fd cwd;              // O_PATH: the working folder when the output was made, where relative paths start
  std::vector<KeptFile> kept;
  FileSink sink;
  struct stat video_file {};  // the temporary file, as made
  mode_t mode = 0;            // its permission bits now
  mode_t made_mode = 0;       // and as it was made
  Fd temp_folder;             // O_PATH, where the temporary file is
  std::string temp_name;
  bool temp_ours = false;  // the temporary's name is ours to remove (when it still holds the video)

  AvPtr<AVIOContext> io;  // freed after the container that writes into it
  AvOutput fmt;
  AvPtr<AVCodecContext> video;
  AvPtr<AVCodecContext> audio;
  AVStream* video_stream = nullptr;
  AVStream* audio_stream = nullptr;
  AvPtr<SwsContext> sws;
  AvPtr<AVFrame> picture;
  AvPtr<AVFrame> sound;
  AvPtr<AVPacket> packet;

  std::array<std::size_t, 3> shape{};  // of the first frame; every frame must have it
  AVRational rate{0, 1};
  std::int64_t frames = 0;
  std::int64_t audio_samples = 0;  // encoded so far
  PcmQueue queue;

  ~Impl() {
    // The libraries' handles go first.
    packet.reset();
    sound.reset();
    picture.reset();
    sws.reset();
    audio.reset();
    video.reset();
    fmt.reset();
    io.reset();
    // Only the video goes: another program may have moved something else under its name.
    if (temp_ours && temp_holds_video()) ::unlinkat(temp_folder.get(), temp_name.c_str(), 0);
    if (sink.fd >= 0) ::close(sink.fd);  // the lock goes with it, after the file
  }

  int at() const { return cwd.ok() ? cwd.get() : AT_FDCWD; }

  bool holds_video(int folder, const std::string& name) const {
    const std::optional<struct stat> st = held_by(folder, name);
    return st && same_file(*st, video_file);
  }
  bool temp_holds_video() const { return holds_video(temp_folder.get(), temp_name); }

  // Fails with `what`, the cause (our file's fault, else the libraries' code) and what they logged about it.
  void check(int rc, const char* what) {
    if (rc >= 0) return;
    std::string cause = std::string(what) + ": " + (sink.fault.empty() ? av_error_text(rc) : sink.fault);
    if (const auto* lines = AvErrorLines::current()) {
      for (const std::string& line : *lines) cause += "\n" + line;
    }
    fail(cause);
  }
  void check_io(const char* what) {
    if (io && io->error < 0) check(io->error, what);
  }

  void create_temp() {
    if (fs::path(target).filename().empty()) fail(py_repr(target) + " names no file");
    Destination d = locate(at(), target);
    check(d);
    sink.shown = d.shown;
    remove_dead_temporaries(d.folder.get());
    const std::size_t limit = name_limit(d.folder.get());
    // Found out now rather than at the rename, after the whole render.
    if (d.name.size() > limit) fail("cannot create " + d.shown + ": " + errno_text(ENAMETOOLONG));
    static std::atomic<unsigned> serial{0};
    for (;;) {
      std::string tail(".");
      tail.append(std::to_string(::getpid())).append(".").append(std::to_string(serial++)).append(".part");
      std::string name = temporary_name(d.name, tail, limit);
      const int fd = ::openat(d.folder.get(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd >= 0) {
        sink.fd = fd;
        sink.path = (fs::path(d.path).parent_path() / name).string();
        temp_folder = std::move(d.folder);
        temp_name = std::move(name);
        temp_ours = true;
        if (::fstat(fd, &video_file) != 0) fail("cannot create " + d.shown + ": " + errno_text(errno));
        mode = made_mode = video_file.st_mode & 0777;
        // Held until the file is renamed or removed: it marks the file as a live writer's to every other writer,
        // also to one that cannot see this process.
        ::flock(fd, LOCK_EX | LOCK_NB);
        return;
      }
      if (errno != EEXIST) fail("cannot create " + d.shown + ": " + errno_text(errno));
    }
  }

  // Refuses a destination that must not be replaced: a kept file or a name inside a kept folder, a folder, a
  // file that is not a regular file. A free name can only be the second.
  void check(const Destination& d) const {
    for (const KeptFile& k : kept) check_kept(d, k, at());
    if (!d.now) return;
    if (S_ISDIR(d.now->st_mode)) fail(d.shown + " is a folder");
    if (!S_ISREG(d.now->st_mode)) {
      fail(d.shown + " is " + kind_text(d.now->st_mode) + ", not a regular file: an MP4 needs a file it can seek in");
    }
  }

  void keep(KeptFile k) {
    if (!k.held) k.held = HeldFile::open(at(), k.path);
    check_kept(locate(at(), target), k, at());
    kept.push_back(std::move(k));
  }

  void start(const Frame& first, double fps) {
    shape = first.shape;
    const std::size_t rows = shape[0], cols = shape[1];
    if (first.type != ElementType::u8 || source_format(shape[2]) == AV_PIX_FMT_NONE) {
      fail("a frame of " + shape_text(first) + " elements that are not 8-bit grey, RGB or RGBA");
    }
    if (rows < 2 || cols < 2 || rows > MAX_SIDE || cols > MAX_SIDE) {
      fail("a frame of " + shape_text(first) + " is not a size video can take");
    }
    if (!(std::isfinite(fps) && fps > 0)) fps = settings.default_fps;
    rate = av_d2q(fps, 100000);
    const int width = static_cast<int>(cols & ~std::size_t{1});
    const int height = static_cast<int>(rows & ~std::size_t{1});

    AVFormatContext* made = nullptr;
    if (avformat_alloc_output_context2(&made, nullptr, "mp4", nullptr) < 0 || !made) throw std::bad_alloc();
    fmt.reset(made);
    auto* buffer = static_cast<unsigned char*>(av_malloc(IO_BUFFER));
    if (!buffer) throw std::bad_alloc();
    io.reset(avio_alloc_context(buffer, IO_BUFFER, 1, &sink, nullptr, &FileSink::write, &FileSink::seek));
    if (!io) {
      av_free(buffer);
      throw std::bad_alloc();
    }
    fmt->pb = io.get();
    fmt->flags |= AVFMT_FLAG_CUSTOM_IO;
    packet.reset(av_packet_alloc());
    if (!packet) throw std::bad_alloc();

    open_video(width, height);
    open_audio();
    sws.reset(sws_getContext(width, height, source_format(shape[2]), width, height, AV_PIX_FMT_YUV420P,
                             SWS_BILINEAR | SWS_ACCURATE_RND, nullptr, nullptr, nullptr));
    if (!sws) fail("cannot set up the colour conversion");
    // Full-range RGB to limited-range BT.601, as the stream is tagged.
    const int* bt601 = sws_getCoefficients(SWS_CS_ITU601);
    sws_setColorspaceDetails(sws.get(), bt601, 1, bt601, 0, 0, 1 << 16, 1 << 16);
    check(avformat_write_header(fmt.get(), nullptr), "cannot start the MP4 container");
    check_io("cannot start the MP4 container");
  }

  void open_video(int width, int height) {
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (!codec) fail("this FFmpeg has no libx264 encoder");
    video.reset(avcodec_alloc_context3(codec));
    if (!video) throw std::bad_alloc();
    video->width = width;
    video->height = height;
    video->pix_fmt = AV_PIX_FMT_YUV420P;
    video->time_base = av_inv_q(rate);
    video->framerate = rate;
    video->color_range = AVCOL_RANGE_MPEG;
    video->colorspace = AVCOL_SPC_SMPTE170M;
    video->thread_count = settings.threads;
    if (fmt->oformat->flags & AVFMT_GLOBALHEADER) video->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    check(av_opt_set(video->priv_data, "preset", settings.preset.c_str(), 0), "cannot set the H.264 preset");
    check(av_opt_set_double(video->priv_data, "crf", settings.crf, 0), "cannot set the H.264 quality");
    check(avcodec_open2(video.get(), codec, nullptr), "cannot open the H.264 encoder");

    video_stream = avformat_new_stream(fmt.get(), nullptr);
    if (!video_stream) throw std::bad_alloc();
    check(avcodec_parameters_from_context(video_stream->codecpar, video.get()), "cannot set up the video stream");
    video_stream->time_base = video->time_base;
    video_stream->avg_frame_rate = rate;

    picture.reset(av_frame_alloc());
    if (!picture) throw std::bad_alloc();
    picture->format = video->pix_fmt;
    picture->width = width;
    picture->height = height;
    check(av_frame_get_buffer(picture.get(), 0), "cannot make a picture buffer");
  }

  void open_audio() {
    const AVCodec* codec = avcodec_find_encoder_by_name("aac");
    if (!codec) fail("this FFmpeg has no AAC encoder");
    audio.reset(avcodec_alloc_context3(codec));
    if (!audio) throw std::bad_alloc();
    const AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
    audio->sample_fmt = AV_SAMPLE_FMT_FLTP;
    audio->sample_rate = SAMPLE_RATE;
    check(av_channel_layout_copy(&audio->ch_layout, &mono), "cannot set the audio layout");
    audio->bit_rate = settings.audio_bit_rate;
    audio->time_base = AVRational{1, SAMPLE_RATE};
    if (fmt->oformat->flags & AVFMT_GLOBALHEADER) audio->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    check(avcodec_open2(audio.get(), codec, nullptr), "cannot open the AAC encoder");

    audio_stream = avformat_new_stream(fmt.get(), nullptr);
    if (!audio_stream) throw std::bad_alloc();
    check(avcodec_parameters_from_context(audio_stream->codecpar, audio.get()), "cannot set up the audio stream");
    audio_stream->time_base = audio->time_base;

    sound.reset(av_frame_alloc());
    if (!sound) throw std::bad_alloc();
    sound->format = audio->sample_fmt;
    sound->sample_rate = SAMPLE_RATE;
    sound->nb_samples = audio->frame_size;
    check(av_channel_layout_copy(&sound->ch_layout, &mono), "cannot set the audio layout");
    check(av_frame_get_buffer(sound.get(), 0), "cannot make a sound buffer");
  }

  // Sends `frame` (nothing: the end) to `codec` and writes every packet it has ready.
  void encode(AVCodecContext* codec, AVStream* stream, const AVFrame* frame, const char* what) {
    check(avcodec_send_frame(codec, frame), what);
    for (;;) {
      const int rc = avcodec_receive_packet(codec, packet.get());
      if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return;
      check(rc, what);
      av_packet_rescale_ts(packet.get(), codec->time_base, stream->time_base);
      packet->stream_index = stream->index;
      check(av_interleaved_write_frame(fmt.get(), packet.get()), "cannot write the MP4 container");
      check_io("cannot write the MP4 container");
    }
  }

  void encode_sound(std::size_t n) {
    check(av_frame_make_writable(sound.get()), "cannot make a sound buffer");
    sound->nb_samples = static_cast<int>(n);
    queue.take(reinterpret_cast<float*>(sound->data[0]), n);
    sound->pts = audio_samples;
    audio_samples += static_cast<std::int64_t>(n);
    encode(audio.get(), audio_stream, sound.get(), "the AAC encoder failed");
  }

  // Encodes the queued audio up to the video's time (all of it at the end), so the two streams advance
  // together and the container interleaves them without holding much back.
  void encode_audio(bool all) {
    const auto size = static_cast<std::size_t>(audio->frame_size);
    const std::int64_t due = av_rescale_q(frames, av_inv_q(rate), AVRational{1, SAMPLE_RATE});
    while (queue.samples() >= size && (all || audio_samples < due)) encode_sound(size);
    if (all && queue.samples() > 0) encode_sound(queue.samples());  // a shorter last frame
  }

  void add_frame(const Frame& frame, double fps) {
    if (!fmt) start(frame, fps);
    if (frame.shape != shape) {
      fail("a frame of " + shape_text(frame) + " after frames of " + std::to_string(shape[0]) + " x " +
           std::to_string(shape[1]) + " x " + std::to_string(shape[2]));
    }
    if (frame.type != ElementType::u8) fail("a frame of " + shape_text(frame) + " elements that are not 8-bit");
    if (!frame.data || frame.bytes < shape[0] * shape[1] * shape[2]) {
      fail("a frame of " + std::to_string(frame.bytes) + " bytes is too small for " + shape_text(frame));
    }
    check(av_frame_make_writable(picture.get()), "cannot make a picture buffer");
    const auto* pixels = reinterpret_cast<const std::uint8_t*>(frame.data.get());
    const int stride = static_cast<int>(shape[1] * shape[2]);
    // Only the even part is converted: an odd last row or column is left out.
    sws_scale(sws.get(), &pixels, &stride, 0, picture->height, picture->data, picture->linesize);
    picture->pts = frames;
    encode(video.get(), video_stream, picture.get(), "the H.264 encoder failed");
    ++frames;
    encode_audio(false);
  }

  void commit(const std::stop_token& stop, const std::function<void(CommitStep)>& step) {
    if (!fmt) fail("no frame to write");
    // Up to the rename a stop leaves the target as it was; it is looked at after each step that takes time.
    const auto stopped = [&] {
      if (stop.stop_requested()) throw Cancelled();
    };
    encode_audio(true);
    encode(audio.get(), audio_stream, nullptr, "the AAC encoder failed");
    encode(video.get(), video_stream, nullptr, "the H.264 encoder failed");
    stopped();
    check(av_write_trailer(fmt.get()), "cannot finish the MP4 container");
    avio_flush(io.get());
    check_io("cannot finish the MP4 container");
    stopped();
    if (::fsync(sink.fd) != 0) fail("cannot sync " + sink.shown + ": " + errno_text(errno));
    if (step) step(CommitStep::synced);
    stopped();
    // The target is followed again: a link made meanwhile stays, and the video goes where it points now,
    // checked as at the start. The file stays open, and so locked, until it is renamed.
    for (int look = 0;; ++look) {
      const Destination d = locate(at(), target);
      check(d);
      keep_mode(d);
      if (step) step(CommitStep::before_rename);
      stopped();  // the last moment at which the target is as it was
      if (put_in_place(d, step)) {
        temp_ours = false;
        ::close(std::exchange(sink.fd, -1));  // synced: closing has nothing left to report
        // The rename itself reaches the disk with its folder.
        const int dir = ::openat(d.folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
          ::fsync(dir);
          ::close(dir);
        }
        return;
      }
      if (look == MAX_LOOKS) fail(d.shown + " kept changing while the video was put in place");
    }
  }

  // A file the video replaces passes on its permission bits; a free name gets those the video was made with.
  void keep_mode(const Destination& d) {
    const mode_t wanted = d.now ? d.now->st_mode & 0777 : made_mode;
    if (wanted == mode) return;
    if (::fchmod(sink.fd, wanted) != 0) fail("cannot set the permissions of " + sink.shown + ": " + errno_text(errno));
    mode = wanted;
  }

  // Renames the temporary onto `d`; false when the name no longer holds what was checked (look again). An
  // existing file is swapped out rather than replaced, so that whatever came in its place after the check (a
  // link the user made) is seen and put back; a free name is taken only while it is free. Each name is
  // compared with what it must hold right before it is used, as another program may move names at any time;
  // what remains is the moment between that look and the call.
  bool put_in_place(const Destination& d, const std::function<void(CommitStep)>& step) {
    const int from = temp_folder.get(), to = d.folder.get();
    const char* temp = temp_name.c_str();
    const char* name = d.name.c_str();
    if (!temp_holds_video()) lost_track(d, std::nullopt);
    const int flags = d.now ? RENAME_EXCHANGE : RENAME_NOREPLACE;
    if (::renameat2(from, temp, to, name, flags) != 0) {
      const int e = errno;
      // Taken, or gone, since the check.
      if (e == EEXIST || e == ENOENT) return false;
      if (e != EINVAL) fail("cannot put the video in place of " + d.shown + ": " + errno_text(e));
      // A file system that can do neither: a plain rename, which replaces whatever came there since the check.
      if (::renameat(from, temp, to, name) != 0) {
        fail("cannot put the video in place of " + d.shown + ": " + errno_text(errno));
      }
      return true;
    }
    if (!d.now) return true;
    if (step) step(CommitStep::exchanged);
    const std::optional<struct stat> out = held_by(from, temp_name);
    if (!out) return true;  // what came out was moved away meanwhile: it is where that program put it
    if (same_file(*out, *d.now)) {
      ::unlinkat(from, temp, 0);  // the file the video replaces
      return true;
    }
    // Something else had come there: it goes back, from where the video is now.
    if (!holds_video(to, d.name)) lost_track(d, out);
    if (::renameat2(from, temp, to, name, RENAME_EXCHANGE) != 0) {
      temp_ours = false;
      fail("cannot put back what came in place of " + d.shown + " (it is " + py_repr(sink.path) + " now): " +
           errno_text(errno));
    }
    return false;
  }

  // Fails when names moved under the commit so that a name no longer holds what it must: nothing more is
  // renamed or removed, and the error says what the target's name and the temporary's hold. `came` is what
  // came out of the target in its place.
  [[noreturn]] void lost_track(const Destination& d, const std::optional<struct stat>& came) {
    temp_ours = false;
    const auto what = [&](int folder, const std::string& name) -> std::string {
      const std::optional<struct stat> st = held_by(folder, name);
      if (!st) return "nothing";
      if (same_file(*st, video_file)) return "the video";
      if (d.now && same_file(*st, *d.now)) return "the file that was there when it was checked";
      if (came && same_file(*st, *came)) return "what came there after it was checked";
      return "another file";
    };
    const std::string at_target = what(d.folder.get(), d.name);
    const std::string at_temp = what(temp_folder.get(), temp_name);
    std::string text = d.shown + " changed while the video was put in place, and nothing more was renamed or " +
                       "removed: " + py_repr(d.path) + " holds " + at_target + ", " + py_repr(sink.path) +
                       " holds " + at_temp;
    if (at_target != "the video" && at_temp != "the video") text += ", and the video is under neither name";
    fail(text);
  }
};

Mp4Output::Mp4Output(const std::string& target, Mp4Settings settings, std::vector<KeptFile> keep)
    : impl_(std::make_unique<Impl>()) {
  route_av_log();
  impl_->settings = std::move(settings);
  impl_->target = target;
  impl_->cwd = Fd(::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  for (KeptFile& k : keep) {
    if (!k.held) k.held = HeldFile::open(impl_->at(), k.path);
  }
  impl_->kept = std::move(keep);
  impl_->create_temp();
}

Mp4Output::~Mp4Output() = default;

void Mp4Output::add_pcm(std::span<const std::uint8_t> pcm) { impl_->queue.push(pcm); }

void Mp4Output::add_frame(const Frame& frame, double fps) {
  AvErrorLines lines;
  impl_->add_frame(frame, fps);
}

void Mp4Output::keep(KeptFile file) { impl_->keep(std::move(file)); }

void Mp4Output::commit(std::stop_token stop, const std::function<void(CommitStep)>& step) {
  AvErrorLines lines;
  impl_->commit(stop, step);
}

std::int64_t Mp4Output::frames() const { return impl_->frames; }

double Mp4Output::seconds() const {
  return impl_->rate.num > 0 ? static_cast<double>(impl_->frames) * impl_->rate.den / impl_->rate.num : 0.0;
}

const std::string& Mp4Output::temp_path() const { return impl_->sink.path; }

}  // namespace velmora::detail
