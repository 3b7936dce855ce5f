// Decoding an audio file in-process through the FFmpeg libraries: the road taken when the ffmpeg program is
// not installed. The first audio stream is decoded and resampled to 16 kHz mono s16.

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

Pcm decode_all(const std::string& path, const std::stop_token& stop) {
  // The "file:" protocol, so a name that reads like another protocol ("pipe:0", "x:y") is still this file.
  const std::string url = "file:" + path;
  AVFormatContext* raw = avformat_alloc_context();
  if (!raw) throw std::bad_alloc();
  raw->interrupt_callback = {stop_asked, const_cast<std::stop_token*>(&stop)};
  int rc = avformat_open_input(&raw, url.c_str(), nullptr, nullptr);  // frees the context when it fails
  if (rc < 0) throw AvError(rc, path);
  AvInput fmt(raw);
  rc = avformat_find_stream_info(fmt.get(), nullptr);
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

Pcm decode_file(const std::string& path, const std::stop_token& stop) {
  route_av_log();
  AvErrorLines errors;
  try {
    return decode_all(path, stop);
  } catch (const Cancelled&) {
    throw;
  } catch (const std::exception&) {
    if (stop.stop_requested()) throw Cancelled();  // a read the stop cut short
    throw refuse<Failed>("could not read that audio", Detail::current());
  }
}

}  // namespace velmora::detail
