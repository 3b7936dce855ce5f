// The encoding of a video into its target's file: the MP4 container, both encoders and the queue of PCM that
// waits for the video's time.
#include "velmora/outside/mp4_encoder.h"

#include <sys/stat.h>
#include <unistd.h>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/mathematics.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <deque>
#include <optional>
#include <system_error>

#include "common/fd.h"
#include "velmora/audio_input.h"
#include "velmora/av.h"
#include "velmora/errors.hpp"
#include "velmora/module.h"
#include "velmora/outside/video_target.h"

namespace velmora::detail {
namespace {

constexpr int IO_BUFFER = 1 << 18;
constexpr int MAX_SIDE = 1 << 15;

// The target's temporary file as the container's output.
struct FileSink {
  const VideoTarget* file = nullptr;
  std::string fault;  // the first failure, for the detail

  void note(const char* what, int e) {
    if (fault.empty()) fault = std::string(what) + " " + file->shown() + ": " + std::generic_category().message(e);
  }

  static int write(void* opaque, std::uint8_t* buf, int size) {
    auto* s = static_cast<FileSink*>(opaque);
    if (const int e = write_all_without_sigxfsz(s->file->fd(), buf, static_cast<std::size_t>(size))) {
      s->note("cannot write", e);
      return AVERROR(e);
    }
    return size;
  }

  static std::int64_t seek(void* opaque, std::int64_t offset, int whence) {
    auto* s = static_cast<FileSink*>(opaque);
    if (whence & AVSEEK_SIZE) {
      struct stat st {};
      if (::fstat(s->file->fd(), &st) != 0) return AVERROR(errno);
      return st.st_size;
    }
    const off_t at = ::lseek(s->file->fd(), offset, whence & ~AVSEEK_FORCE);
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

struct Mp4Encoder::Impl {
  Mp4Settings settings;
  FileSink sink;

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

  // Fails with `what`, the cause (our file's fault, else the libraries' code) and what they logged about it.
  void check(int rc, const char* what) {
    if (rc >= 0) return;
    std::string cause = std::string(what) + ": " + (sink.fault.empty() ? av_error_text(rc) : sink.fault);
    if (const auto* lines = AvErrorLines::current()) {
      for (const std::string& line : *lines) cause += "\n" + line;
    }
    write_failed(cause);
  }
  void check_io(const char* what) {
    if (io && io->error < 0) check(io->error, what);
  }

  void start(const Frame& first, double fps) {
    shape = first.shape;
    const std::size_t rows = shape[0], cols = shape[1];
    if (first.type != ElementType::u8 || source_format(shape[2]) == AV_PIX_FMT_NONE) {
      write_failed("a frame of " + shape_text(first) + " elements that are not 8-bit grey, RGB or RGBA");
    }
    if (rows < 2 || cols < 2 || rows > MAX_SIDE || cols > MAX_SIDE) {
      write_failed("a frame of " + shape_text(first) + " is not a size video can take");
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
    if (!sws) write_failed("cannot set up the colour conversion");
    // Full-range RGB to limited-range BT.601, as the stream is tagged.
    const int* bt601 = sws_getCoefficients(SWS_CS_ITU601);
    sws_setColorspaceDetails(sws.get(), bt601, 1, bt601, 0, 0, 1 << 16, 1 << 16);
    check(avformat_write_header(fmt.get(), nullptr), "cannot start the MP4 container");
    check_io("cannot start the MP4 container");
  }

  void open_video(int width, int height) {
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (!codec) write_failed("this FFmpeg has no libx264 encoder");
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
    if (!codec) write_failed("this FFmpeg has no AAC encoder");
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
      write_failed("a frame of " + shape_text(frame) + " after frames of " + std::to_string(shape[0]) + " x " +
                   std::to_string(shape[1]) + " x " + std::to_string(shape[2]));
    }
    if (frame.type != ElementType::u8) write_failed("a frame of " + shape_text(frame) + " elements that are not 8-bit");
    if (!frame.data || frame.bytes < shape[0] * shape[1] * shape[2]) {
      write_failed("a frame of " + std::to_string(frame.bytes) + " bytes is too small for " + shape_text(frame));
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

  void finish(const std::stop_token& stop) {
    if (!fmt) write_failed("no frame to write");
    // A stop is looked at after each step that takes time.
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
  }
};

Mp4Encoder::Mp4Encoder(const VideoTarget& file, Mp4Settings settings) : impl_(std::make_unique<Impl>()) {
  route_av_log();
  impl_->settings = std::move(settings);
  impl_->sink.file = &file;
}

Mp4Encoder::~Mp4Encoder() = default;

void Mp4Encoder::add_pcm(std::span<const std::uint8_t> pcm) { impl_->queue.push(pcm); }

void Mp4Encoder::add_frame(const Frame& frame, double fps) {
  AvErrorLines lines;
  impl_->add_frame(frame, fps);
}

void Mp4Encoder::finish(const std::stop_token& stop) {
  AvErrorLines lines;
  impl_->finish(stop);
}

std::int64_t Mp4Encoder::frames() const { return impl_->frames; }

double Mp4Encoder::seconds() const {
  return impl_->rate.num > 0 ? static_cast<double>(impl_->frames) * impl_->rate.den / impl_->rate.num : 0.0;
}

}  // namespace velmora::detail
