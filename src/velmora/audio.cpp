#include "velmora/audio.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>

#include "common/child_process.h"
#include "common/fd.h"
#include "common/py_error.h"
#include "common/pytext.h"
#include "common/run_captured.h"
#include "common/utf8.h"
#include "velmora/audio_input.h"
#include "velmora/av.h"
#include "velmora/errors.hpp"
#include "velmora/module.h"
#include "velmora/session.hpp"

namespace velmora {
namespace {

using detail::AudioAccess;

// Float samples to s16: clip to [-1, 1], scale by 32767 in F's own precision, truncate toward zero; NaN
// gives 0. Elements are read with memcpy, so the bytes need no alignment.
template <class F>
Pcm scaled_to_s16(const std::byte* data, std::size_t count) {
  Pcm out(count * sizeof(std::int16_t));
  for (std::size_t i = 0; i < count; ++i) {
    F v;
    std::memcpy(&v, data + i * sizeof(F), sizeof(F));
    if (v > F(1)) v = F(1);
    else if (v < F(-1)) v = F(-1);
    const F scaled = v * F(32767);
    const std::int16_t s = std::isnan(scaled) ? 0 : static_cast<std::int16_t>(scaled);
    std::memcpy(out.data() + i * sizeof(std::int16_t), &s, sizeof s);
  }
  return out;
}

Pcm copied(const void* data, std::size_t bytes) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  return Pcm(p, p + bytes);
}

constexpr const char* DTYPE_REFUSAL = "audio arrays must be int16, or float32/float64 in [-1, 1]; got ";
constexpr const char* TYPE_REFUSAL =
    "audio must be 16 kHz mono samples (bytes / int16 or float array), an audio file path, or an iterable of "
    "those; got ";

Generator<AudioItem> items_of(std::vector<AudioItem> items) {
  for (auto& item : items) co_yield std::move(item);
}

// What a file that is no regular file is, for a line that says so.
const char* kind_of(mode_t mode) {
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  if (S_ISSOCK(mode)) return "a socket";
  return "no regular file";
}

[[noreturn]] void refuse_kind(const std::string& path, mode_t mode) {
  throw FileNotFound(path + " is " + kind_of(mode) + ", not an audio file");
}

// The audio file at `path`, opened once: without waiting (a FIFO's open would wait for a writer) and without
// becoming a terminal of ours, and kept only when the descriptor shows a regular file, which it then stays
// whatever happens to the name. Its offset is 0 and it blocks again.
Fd open_audio(const std::string& path, struct stat& st) {
  // What the name shows now is refused unopened (opening a device may do something); the descriptor's own look
  // below is what counts, as the name may be given to another file in between.
  if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) refuse_kind(path, st.st_mode);
  Fd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!fd.ok()) {
    const int error = errno;
    if (error == ENOENT || error == ENOTDIR) throw FileNotFound("no audio at " + path);
    // A socket, or a device without its driver, cannot be opened: the name says what it was.
    if (error == ENXIO && ::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) refuse_kind(path, st.st_mode);
    throw refuse<Failed>("could not read that audio", py_os_error_text(error, path));
  }
  if (::fstat(fd.get(), &st) != 0) {
    throw refuse<Failed>("could not read that audio", py_os_error_text(errno, path));
  }
  if (!S_ISREG(st.st_mode)) refuse_kind(path, st.st_mode);
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
    throw refuse<Failed>("could not read that audio", py_os_error_text(errno, path));
  }
  return fd;
}

// How the ffmpeg program reads the audio: its standard input is our descriptor, which it opens anew, with an
// offset of its own and seekable (an MP4 whose index comes last needs that), through /proc. Where /proc does
// not show the descriptor as the file, there is no such way.
constexpr const char* PROGRAM_INPUT = "file:/proc/self/fd/0";

bool program_can_read(int fd, const struct stat& st) {
  struct stat via;
  const std::string name = "/proc/self/fd/" + std::to_string(fd);
  return ::stat(name.c_str(), &via) == 0 && via.st_dev == st.st_dev && via.st_ino == st.st_ino;
}

std::filesystem::path path_of(const char* text) {
  if (text == nullptr) throw ValueError("an audio file path must not be null");
  return text;
}

}  // namespace

AudioItem AudioItem::pcm(std::span<const std::uint8_t> bytes) { return AudioItem(copied(bytes.data(), bytes.size())); }
AudioItem AudioItem::pcm(Pcm bytes) { return AudioItem(std::move(bytes)); }
AudioItem AudioItem::file(std::filesystem::path path) { return AudioItem(std::move(path)); }

AudioItem AudioItem::samples(std::span<const std::int16_t> samples) {
  return AudioItem(copied(samples.data(), samples.size_bytes()));
}
AudioItem AudioItem::samples(std::span<const float> samples) {
  return AudioItem(scaled_to_s16<float>(reinterpret_cast<const std::byte*>(samples.data()), samples.size()));
}
AudioItem AudioItem::samples(std::span<const double> samples) {
  return AudioItem(scaled_to_s16<double>(reinterpret_cast<const std::byte*>(samples.data()), samples.size()));
}

AudioItem AudioItem::array(const ArrayRef& array) {
  std::size_t item_size = 0;
  if (array.dtype == "int16") item_size = sizeof(std::int16_t);
  else if (array.dtype == "float32") item_size = sizeof(float);
  else if (array.dtype == "float64") item_size = sizeof(double);
  else return AudioItem(Refused{DTYPE_REFUSAL + array.dtype});
  if (array.data.size() % item_size != 0) throw ValueError("array data is not a whole number of " + array.dtype);
  const std::size_t count = array.data.size() / item_size;
  if (item_size == sizeof(std::int16_t)) return AudioItem(copied(array.data.data(), array.data.size()));
  if (item_size == sizeof(float)) return AudioItem(scaled_to_s16<float>(array.data.data(), count));
  return AudioItem(scaled_to_s16<double>(array.data.data(), count));
}

AudioItem AudioItem::unsupported(std::string type_name) { return AudioItem(Refused{TYPE_REFUSAL + type_name}); }

AudioInput::AudioInput(const char* path) : AudioInput(path_of(path)) {}

AudioInput AudioInput::stream(Generator<AudioItem> items) { return AudioAccess::make_stream(std::move(items)); }
AudioInput AudioInput::stream(std::vector<AudioItem> items) { return stream(items_of(std::move(items))); }

namespace detail {

Pcm decode_path(const std::string& path, const std::stop_token& stop) {
  struct stat st;
  const Fd file = open_audio(path, st);
  // A kind that is not read (a playlist, a list of files) is refused here, before anything starts; a kind the
  // libraries know is what the program reads it as, so that its own guess never differs.
  const std::string demuxer = audio_demuxer(file.get(), path);
  if (stop.stop_requested()) throw Cancelled();
  if (!program_can_read(file.get(), st)) return decode_file(file.get(), path, stop);
  if (::lseek(file.get(), 0, SEEK_SET) < 0) {
    throw refuse<Failed>("could not read that audio", py_os_error_text(errno, path));
  }
  // Single files of the kinds of AUDIO_DEMUXERS, by the file protocol alone: nothing else is opened.
  std::vector<std::string> argv = {"ffmpeg", "-nostdin", "-loglevel", "error", "-protocol_whitelist", "file",
                                   "-format_whitelist", AUDIO_DEMUXERS};
  if (!demuxer.empty()) argv.insert(argv.end(), {"-f", demuxer});
  argv.insert(argv.end(), {"-i", PROGRAM_INPUT, "-ar", std::to_string(SAMPLE_RATE), "-ac", "1", "-f", "s16le", "-"});
  ProgramResult run;
  try {
    // A terminal's Ctrl-C is the caller's to handle: it must not end the decoder under it.
    run = run_captured(argv, /*own_process_group=*/true, stop, file.get());
  } catch (const std::system_error& e) {
    if (e.code() == std::errc::no_such_file_or_directory) return decode_file(file.get(), path, stop);  // no program
    throw;
  }
  if (run.stopped) throw Cancelled();
  // Where the system reaped it before its status could be read (an application that ignores SIGCHLD, on a
  // system that keeps no exit status in pidfds), whether its output is whole cannot be known: decoded here.
  if (run.status == STATUS_UNKNOWN) return decode_file(file.get(), path, stop);
  if (run.status != 0) {
    if (lacks_audio_stream(file.get(), path)) {
      throw refuse<Failed>("could not read that audio", "no audio stream in " + py_repr(path));
    }
    // Its lines name the file as the caller gave it, not as the URL it was given.
    std::string err = utf8_decode_replace(run.err);
    const std::string url = PROGRAM_INPUT;
    for (std::size_t at = 0; (at = err.find(url, at)) != std::string::npos; at += path.size()) {
      err.replace(at, url.size(), path);
    }
    std::string detail = utf8_prefix(av_log_text(err), 300);
    if (detail.empty()) detail = "the ffmpeg program " + status_text(run.status) + " and said nothing";
    throw refuse<Failed>("could not read that audio", detail);
  }
  return std::move(run.out);
}

Pcm pcm_of(const AudioItem& item, const std::stop_token& stop) {
  const auto& v = AudioAccess::value(item);
  if (const auto* pcm = std::get_if<Pcm>(&v)) return *pcm;
  if (const auto* path = std::get_if<std::filesystem::path>(&v)) return decode_path(path->string(), stop);
  throw TypeError(*AudioAccess::refusal(item));
}

Pcm pcm_of(AudioItem&& item, const std::stop_token& stop) {
  auto& v = AudioAccess::value(item);
  if (auto* pcm = std::get_if<Pcm>(&v)) return std::move(*pcm);
  return pcm_of(static_cast<const AudioItem&>(item), stop);
}

std::optional<Pcm> whole_clip(const AudioInput& audio, const std::stop_token& stop) {
  const auto& item = AudioAccess::item(audio);
  if (!item) return std::nullopt;
  return pcm_of(*item, stop);
}

std::optional<Pcm> whole_clip(AudioInput&& audio, const std::stop_token& stop) {
  auto& item = AudioAccess::item(audio);
  if (!item) return std::nullopt;
  return pcm_of(std::move(*item), stop);
}

WholeSamples whole_samples(std::span<const std::uint8_t> chunk, std::optional<std::uint8_t>& carry) {
  WholeSamples w{std::nullopt, chunk};
  if (carry && !chunk.empty()) {
    w.joined = std::array<std::uint8_t, 2>{*carry, chunk[0]};
    carry.reset();
    w.whole = chunk.subspan(1);
  }
  if (w.whole.size() % 2 != 0) {
    carry = w.whole.back();
    w.whole = w.whole.first(w.whole.size() - 1);
  }
  return w;
}

void whole_samples(Pcm& chunk, std::optional<std::uint8_t>& carry) {
  const WholeSamples w = whole_samples(std::span<const std::uint8_t>(chunk), carry);
  if (!w.joined) {
    chunk.resize(w.whole.size());
    return;
  }
  // The joined sample's second byte is the chunk's first: only the carried byte goes in front.
  chunk.resize(1 + w.whole.size());
  chunk.insert(chunk.begin(), (*w.joined)[0]);
}

Generator<Pcm> chunks(AudioInput audio, std::optional<Pcm> clip, std::stop_token stop) {
  if (!clip) clip = whole_clip(audio, stop);
  if (clip) {
    co_yield std::move(*clip);
    co_return;
  }
  Generator<AudioItem>& items = AudioAccess::stream(audio);
  while (auto item = items.next()) {
    Pcm pcm = pcm_of(std::move(*item), stop);
    co_yield std::move(pcm);
  }
}

std::optional<std::int64_t> expected_frames(std::optional<std::size_t> clip_bytes, std::optional<double> fps) {
  if (!clip_bytes || !fps || *fps == 0.0) return std::nullopt;
  if (std::isnan(*fps)) throw ValueError("cannot convert float NaN to integer");
  if (std::isinf(*fps)) throw ValueError("cannot convert float infinity to integer");
  const double seconds =
      static_cast<double>(*clip_bytes) / static_cast<double>(session::BYTES_PER_FRAME * session::FPS);
  const double n = seconds * *fps;
  if (!(n >= 1.0)) return std::nullopt;
  if (n >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
  return static_cast<std::int64_t>(n);
}

}  // namespace detail
}  // namespace velmora
