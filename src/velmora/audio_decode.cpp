// Decoding an audio file in-process through the FFmpeg libraries: the road taken when the ffmpeg program is
// not installed. The first audio stream is decoded and resampled to 16 kHz mono s16. The libraries read the
// file through a descriptor that the caller opened, by an I/O context of ours, and may open nothing else.

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <stop_token>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/pytext.h"
#include "velmora/av.h"
#include "velmora/audio_input.h"
#include "velmora/errors.hpp"
#include "velmora/module.h"

extern "C" {
#include <libavutil/avstring.h>
}

namespace velmora::detail {
namespace {

// A failure reported by the libraries: "[Errno N] <their text>: '<path>'", then the error lines they logged
// on the way, one a line.
class AvError : public std::runtime_error {
 public:
  AvError(int code, const std::string& path) : std::runtime_error(text(code, path)) {}

 private:
  static std::string text(int code, const std::string& path) {
    std::string out = "[Errno " + std::to_string(-code) + "] " + av_error_text(code) + ": " + py_repr(path);
    if (const auto* lines = AvErrorLines::current()) {
      for (const std::string& line : *lines) out += "\n" + line;
    }
    return out;
  }
};

// The resampler, set up from the first decoded frame; later frames must match it.
class Resampler {
 public:
  explicit Resampler(Pcm& out) : out_(out) {}

  void feed(const AVFrame* frame) {
    if (!swr_) setup(frame);
    else if (!matches(frame)) throw std::runtime_error("Frame does not match AudioResampler setup.");
    convert(const_cast<const std::uint8_t**>(frame->extended_data), frame->nb_samples);
  }

  // The samples still held inside the resampler.
  void flush() {
    if (!swr_) return;
    while (convert(nullptr, 0) > 0) {
    }
  }

 private:
  void setup(const AVFrame* frame) {
    if (frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC) {
      av_channel_layout_default(&in_layout_, frame->ch_layout.nb_channels);
    } else if (av_channel_layout_copy(&in_layout_, &frame->ch_layout) < 0) {
      throw std::runtime_error("cannot copy the channel layout");
    }
    in_format_ = frame->format;
    in_rate_ = frame->sample_rate;
    AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
    SwrContext* s = nullptr;
    int rc = swr_alloc_set_opts2(&s, &mono, AV_SAMPLE_FMT_S16, SAMPLE_RATE, &in_layout_,
                                 static_cast<AVSampleFormat>(in_format_), in_rate_, 0, nullptr);
    swr_.reset(s);
    if (rc >= 0) rc = swr_init(s);
    if (rc < 0) throw std::runtime_error("cannot set up the resampler (" + std::to_string(rc) + ")");
  }

  bool matches(const AVFrame* frame) const {
    if (frame->format != in_format_ || frame->sample_rate != in_rate_) return false;
    if (frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC) return frame->ch_layout.nb_channels == in_layout_.nb_channels;
    return av_channel_layout_compare(&frame->ch_layout, &in_layout_) == 0;
  }

  int convert(const std::uint8_t** in, int in_count) {
    const int room = swr_get_out_samples(swr_.get(), in_count);
    if (room < 0) throw std::runtime_error("resampler failed (" + std::to_string(room) + ")");
    const std::size_t at = out_.size();
    out_.resize(at + static_cast<std::size_t>(room) * 2);
    std::uint8_t* dst = out_.data() + at;
    const int n = swr_convert(swr_.get(), &dst, room, in, in_count);
    if (n < 0) {
      out_.resize(at);
      throw std::runtime_error("resampler failed (" + std::to_string(n) + ")");
    }
    out_.resize(at + static_cast<std::size_t>(n) * 2);
    return n;
  }

  Pcm& out_;
  AvPtr<SwrContext> swr_;
  AVChannelLayout in_layout_{};
  int in_format_ = -1;
  int in_rate_ = 0;

 public:
  ~Resampler() { av_channel_layout_uninit(&in_layout_); }
};

// The libraries' reads give up (AVERROR_EXIT) once the stop is asked.
int stop_asked(void* stop) { return static_cast<const std::stop_token*>(stop)->stop_requested() ? 1 : 0; }

// The file behind a descriptor, as the libraries read it: reads that give up once a stop is asked, seeks, and
// its size.
struct FileSource {
  int fd;
  const std::stop_token* stop;
};

int read_source(void* opaque, std::uint8_t* buf, int size) {
  const auto* source = static_cast<const FileSource*>(opaque);
  if (source->stop && source->stop->stop_requested()) return AVERROR_EXIT;
  for (;;) {
    const ssize_t n = ::read(source->fd, buf, static_cast<std::size_t>(size));
    if (n > 0) return static_cast<int>(n);
    if (n == 0) return AVERROR_EOF;
    if (errno != EINTR) return AVERROR(errno);
  }
}

std::int64_t seek_source(void* opaque, std::int64_t offset, int whence) {
  const auto* source = static_cast<const FileSource*>(opaque);
  whence &= ~AVSEEK_FORCE;
  if (whence == AVSEEK_SIZE) {
    struct stat st;
    return ::fstat(source->fd, &st) == 0 ? static_cast<std::int64_t>(st.st_size) : AVERROR(errno);
  }
  const off_t at = ::lseek(source->fd, static_cast<off_t>(offset), whence);
  return at < 0 ? AVERROR(errno) : static_cast<std::int64_t>(at);
}

// An I/O context over `source`, from the descriptor's offset on.
AvPtr<AVIOContext> source_io(FileSource& source) {
  constexpr int BUFFER = 64 * 1024;
  auto* buffer = static_cast<unsigned char*>(av_malloc(BUFFER));
  if (!buffer) throw std::bad_alloc();
  AVIOContext* io = avio_alloc_context(buffer, BUFFER, 0, &source, read_source, nullptr, seek_source);
  if (!io) {
    av_free(buffer);
    throw std::bad_alloc();
  }
  return AvPtr<AVIOContext>(io);
}

// The libraries ask for every other file or address a format names (a playlist's entries, a list's files, a
// movie's references) through this: nothing is opened.
int open_nothing(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**) { return AVERROR(EPERM); }

// A line for a file of a kind that is not read: what it is, by its demuxer's name.
std::string not_read(const std::string& path, const std::string& demuxer) {
  static constexpr const char* LISTS[] = {"hls", "concat", "dash", "webm_dash_manifest", "sdp", "ffmetadata",
                                          "mpl2", "rtsp", "rtp"};
  for (const char* list : LISTS) {
    if (demuxer == list) {
      return path + " is a playlist or a list of other files, not an audio file: only the file named is read, "
                    "never the files or addresses it lists (" + demuxer + ")";
    }
  }
  if (demuxer == "image2" || demuxer.ends_with("_pipe") || demuxer == "image2pipe") {
    return path + " is an image, not an audio file (" + demuxer + ")";
  }
  return path + " is of a kind that is not read as audio (" + demuxer + ")";
}

// The probed format of the file at `source`, or null when it is of no kind the libraries know; a kind left out
// of AUDIO_DEMUXERS is refused.
const AVInputFormat* probed(FileSource& source, const std::string& path) {
  AvPtr<AVIOContext> io = source_io(source);
  const AVInputFormat* format = nullptr;
  // The name only lends its extension to the guess; nothing is opened by it.
  if (av_probe_input_buffer2(io.get(), &format, path.c_str(), nullptr, 0, 0) < 0 || !format) return nullptr;
  if (av_match_list(format->name, AUDIO_DEMUXERS, ',') <= 0) {
    throw refuse<Failed>("could not read that audio", not_read(path, format->name));
  }
  return format;
}

// The file at a descriptor, opened by the libraries from its start as the kind its probe found, with nothing
// else to open.
class OpenedFile {
 public:
  OpenedFile(int fd, const std::string& path, const std::stop_token& stop) : source_{fd, &stop} {
    rewind(path);
    const AVInputFormat* format = probed(source_, path);
    rewind(path);
    io_ = source_io(source_);
    AVFormatContext* raw = avformat_alloc_context();
    if (!raw) throw std::bad_alloc();
    raw->interrupt_callback = {stop_asked, const_cast<std::stop_token*>(&stop)};
    raw->pb = io_.get();
    raw->flags |= AVFMT_FLAG_CUSTOM_IO;
    raw->io_open = open_nothing;
    raw->format_whitelist = av_strdup(AUDIO_DEMUXERS);
    if (!raw->format_whitelist) {
      avformat_free_context(raw);
      throw std::bad_alloc();
    }
    const int rc = avformat_open_input(&raw, path.c_str(), format, nullptr);  // frees the context when it fails
    if (rc < 0) throw AvError(rc, path);
    input_.reset(raw);
  }

  AVFormatContext* get() const { return input_.get(); }
  AVFormatContext* operator->() const { return input_.get(); }

 private:
  void rewind(const std::string& path) const {
    if (::lseek(source_.fd, 0, SEEK_SET) < 0) throw AvError(AVERROR(errno), path);
  }

  FileSource source_;
  AvPtr<AVIOContext> io_;  // outlives the input, which reads through it
  AvInput input_;
};

Pcm decode_all(int fd, const std::string& path, const std::stop_token& stop) {
  OpenedFile fmt(fd, path, stop);
  int rc = avformat_find_stream_info(fmt.get(), nullptr);
  if (stop.stop_requested()) throw Cancelled();
  if (rc < 0) throw AvError(rc, path);

  int index = -1;
  for (unsigned i = 0; i < fmt->nb_streams; ++i) {
    if (fmt->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
      index = static_cast<int>(i);
      break;
    }
  }
  if (index < 0) throw std::runtime_error("no audio stream in " + py_repr(path));
  const AVCodecParameters* par = fmt->streams[index]->codecpar;
  const AVCodec* codec = avcodec_find_decoder(par->codec_id);
  if (!codec) throw std::runtime_error(std::string("no decoder for ") + avcodec_get_name(par->codec_id));
  AvPtr<AVCodecContext> ctx(avcodec_alloc_context3(codec));
  if (!ctx) throw std::bad_alloc();
  if ((rc = avcodec_parameters_to_context(ctx.get(), par)) < 0) throw AvError(rc, path);
  if ((rc = avcodec_open2(ctx.get(), codec, nullptr)) < 0) throw AvError(rc, path);

  AvPtr<AVPacket> packet(av_packet_alloc());
  AvPtr<AVFrame> frame(av_frame_alloc());
  if (!packet || !frame) throw std::bad_alloc();
  Pcm out;
  Resampler resampler(out);

  auto drain = [&] {
    for (;;) {
      const int r = avcodec_receive_frame(ctx.get(), frame.get());
      if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return;
      if (r < 0) throw AvError(r, path);
      resampler.feed(frame.get());
      av_frame_unref(frame.get());
    }
  };
  for (;;) {
    if (stop.stop_requested()) throw Cancelled();
    rc = av_read_frame(fmt.get(), packet.get());
    if (rc == AVERROR_EOF) break;
    if (rc < 0) throw AvError(rc, path);
    if (packet->stream_index == index) {
      rc = avcodec_send_packet(ctx.get(), packet.get());
      av_packet_unref(packet.get());
      if (rc < 0) throw AvError(rc, path);
      drain();
    } else {
      av_packet_unref(packet.get());
    }
  }
  if ((rc = avcodec_send_packet(ctx.get(), nullptr)) < 0) throw AvError(rc, path);
  drain();
  resampler.flush();
  if (out.empty()) throw ValueError("no audio in that file");
  return out;
}

}  // namespace

std::string audio_demuxer(int fd, const std::string& path) {
  route_av_log();
  AvErrorLines errors;
  FileSource source{fd, nullptr};
  const AVInputFormat* format = probed(source, path);
  if (!format) return "";
  const char* names = format->name;
  return std::string(names, std::strcspn(names, ","));
}

Pcm decode_file(int fd, const std::string& path, const std::stop_token& stop) {
  route_av_log();
  AvErrorLines errors;
  try {
    return decode_all(fd, path, stop);
  } catch (const Cancelled&) {
    throw;
  } catch (const Failed&) {
    throw;  // a kind that is not read, said as such
  } catch (const std::exception&) {
    if (stop.stop_requested()) throw Cancelled();  // a read the stop cut short
    throw refuse<Failed>("could not read that audio", Detail::current());
  }
}

bool lacks_audio_stream(int fd, const std::string& path) {
  route_av_log();
  AvErrorLines errors;
  try {
    const std::stop_token none;
    const OpenedFile fmt(fd, path, none);
    if (avformat_find_stream_info(fmt.get(), nullptr) < 0) return false;
    for (unsigned i = 0; i < fmt->nb_streams; ++i) {
      if (fmt->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) return false;
    }
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace velmora::detail
