#pragma once
// One owner per FFmpeg handle kind, and the libraries' text for an error code.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <memory>
#include <string>

namespace velmora::detail {

struct AvDelete {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
  void operator()(AVPacket* p) const { av_packet_free(&p); }
  void operator()(AVFrame* f) const { av_frame_free(&f); }
  void operator()(SwrContext* s) const { swr_free(&s); }
  void operator()(SwsContext* s) const { sws_freeContext(s); }
};
template <class T>
using AvPtr = std::unique_ptr<T, AvDelete>;

// An input opened with avformat_open_input.
struct AvInputClose {
  void operator()(AVFormatContext* f) const { avformat_close_input(&f); }
};
using AvInput = std::unique_ptr<AVFormatContext, AvInputClose>;

inline std::string av_error_text(int code) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, buf, sizeof buf);
  return buf;
}

}  // namespace velmora::detail
