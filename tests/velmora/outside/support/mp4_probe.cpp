#include "velmora/outside/support/mp4_probe.h"

#include <cmath>
#include <cstring>
#include <stdexcept>

extern "C" {
#include <libavutil/pixdesc.h>
}

#include "velmora/av.h"

namespace velmora::testing {
namespace {

using detail::AvPtr;

void check(int rc, const char* what) {
  if (rc < 0) throw std::runtime_error(std::string(what) + ": " + detail::av_error_text(rc));
}

struct Decoder {
  int index = -1;
  AvPtr<AVCodecContext> codec;

  void open(const AVFormatContext* fmt, int i) {
    index = i;
    const AVCodecParameters* par = fmt->streams[i]->codecpar;
    const AVCodec* c = avcodec_find_decoder(par->codec_id);
    if (!c) throw std::runtime_error("no decoder");
    codec.reset(avcodec_alloc_context3(c));
    check(avcodec_parameters_to_context(codec.get(), par), "decoder parameters");
    codec->pkt_timebase = fmt->streams[i]->time_base;
    check(avcodec_open2(codec.get(), c, nullptr), "open decoder");
  }
};

}  // namespace

Mp4Probe probe_mp4(const std::string& path, int keep) {
  AVFormatContext* raw = nullptr;
  check(avformat_open_input(&raw, ("file:" + path).c_str(), nullptr, nullptr), "open");
  detail::AvInput fmt(raw);
  check(avformat_find_stream_info(fmt.get(), nullptr), "stream info");
  Mp4Probe p;
  p.container = fmt->iformat->name;
  Decoder video, audio;
  for (unsigned i = 0; i < fmt->nb_streams; ++i) {
    const AVStream* s = fmt->streams[i];
    const double start = s->start_time == AV_NOPTS_VALUE ? -1 : s->start_time * av_q2d(s->time_base);
    if (s->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && video.index < 0) {
      video.open(fmt.get(), static_cast<int>(i));
      p.video_codec = avcodec_get_name(s->codecpar->codec_id);
      p.pixel_format = av_get_pix_fmt_name(static_cast<AVPixelFormat>(s->codecpar->format));
      p.width = s->codecpar->width;
      p.height = s->codecpar->height;
      p.fps = av_q2d(s->avg_frame_rate);
      p.video_start = start;
    } else if (s->codecpar->codec_type == AVMEDIA_TYPE_AUDIO && audio.index < 0) {
      audio.open(fmt.get(), static_cast<int>(i));
      p.audio_codec = avcodec_get_name(s->codecpar->codec_id);
      p.sample_rate = s->codecpar->sample_rate;
      p.channels = s->codecpar->ch_layout.nb_channels;
      p.audio_start = start;
      p.audio_seconds = static_cast<double>(s->duration) * av_q2d(s->time_base);
    }
  }
  AvPtr<AVPacket> packet(av_packet_alloc());
  AvPtr<AVFrame> frame(av_frame_alloc());
  auto drain = [&](Decoder& d) {
    for (;;) {
      const int rc = avcodec_receive_frame(d.codec.get(), frame.get());
      if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return;
      check(rc, "decode");
      if (&d == &video) {
        ++p.frames;
        if (static_cast<int>(p.lumas.size()) < keep) {
          std::vector<std::uint8_t> y(static_cast<std::size_t>(frame->width) * frame->height);
          for (int row = 0; row < frame->height; ++row) {
            std::memcpy(y.data() + static_cast<std::size_t>(row) * frame->width,
                        frame->data[0] + static_cast<std::ptrdiff_t>(row) * frame->linesize[0], frame->width);
          }
          p.lumas.push_back(std::move(y));
        }
      }
      av_frame_unref(frame.get());
    }
  };
  for (;;) {
    const int rc = av_read_frame(fmt.get(), packet.get());
    if (rc == AVERROR_EOF) break;
    check(rc, "read");
    Decoder* d = packet->stream_index == video.index ? &video : packet->stream_index == audio.index ? &audio : nullptr;
    if (d) {
      check(avcodec_send_packet(d->codec.get(), packet.get()), "send");
      drain(*d);
    }
    av_packet_unref(packet.get());
  }
  for (Decoder* d : {&video, &audio}) {
    if (d->index < 0) continue;
    check(avcodec_send_packet(d->codec.get(), nullptr), "flush");
    drain(*d);
  }
  return p;
}

double luma_psnr(const Frame& frame, const std::vector<std::uint8_t>& luma, int width, int height) {
  const auto* rgb = reinterpret_cast<const std::uint8_t*>(frame.data.get());
  const std::size_t cols = frame.shape[1];
  double sum = 0;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const std::uint8_t* px = rgb + (static_cast<std::size_t>(y) * cols + x) * 3;
      const double want = 16 + (65.481 * px[0] + 128.553 * px[1] + 24.966 * px[2]) / 255;
      const double d = want - luma[static_cast<std::size_t>(y) * width + x];
      sum += d * d;
    }
  }
  const double mse = sum / (static_cast<double>(width) * height);
  return mse == 0 ? INFINITY : 10 * std::log10(255.0 * 255.0 / mse);
}

}  // namespace velmora::testing
