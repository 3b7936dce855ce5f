#pragma once
// What this library's uses of the FFmpeg libraries share: one owner per handle kind, the libraries' text for
// an error code, and the route of their log.
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
#include <string_view>
#include <vector>

namespace velmora::detail {

struct AvDelete {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
  void operator()(AVPacket* p) const { av_packet_free(&p); }
  void operator()(AVFrame* f) const { av_frame_free(&f); }
  void operator()(SwrContext* s) const { swr_free(&s); }
  void operator()(SwsContext* s) const { sws_freeContext(s); }
  // An I/O context of our own (avio_alloc_context), with its buffer: the libraries may have replaced the one
  // it was made with.
  void operator()(AVIOContext* io) const {
    av_freep(&io->buffer);
    avio_context_free(&io);
  }
};
template <class T>
using AvPtr = std::unique_ptr<T, AvDelete>;

// An input opened with avformat_open_input.
struct AvInputClose {
  void operator()(AVFormatContext* f) const { avformat_close_input(&f); }
};
using AvInput = std::unique_ptr<AVFormatContext, AvInputClose>;

// An output made with avformat_alloc_output_context2; its I/O context is owned apart.
struct AvOutputFree {
  void operator()(AVFormatContext* f) const { avformat_free_context(f); }
};
using AvOutput = std::unique_ptr<AVFormatContext, AvOutputFree>;

std::string av_error_text(int code);

// The libraries' log text (one line or several, from their log or from the ffmpeg program's standard error)
// as error text: each line loses the heap address of its "[name @ 0x...] " prefixes (the name stays, as
// "[mp3] ") and its trailing blanks, and empty lines are dropped. The lines are joined by '\n'.
std::string av_log_text(std::string_view text);

// Sends the libraries' own log lines to the "velmora" logger at debug level, never to the application's
// standard error. Done once per process; call it before using the libraries.
void route_av_log();

// While it lives, keeps the error lines the libraries log on this thread, for a failure's detail. Nests:
// the innermost one keeps them. Lives on the stack.
class AvErrorLines {
 public:
  AvErrorLines();
  ~AvErrorLines();
  AvErrorLines(const AvErrorLines&) = delete;
  AvErrorLines& operator=(const AvErrorLines&) = delete;

  // The lines kept by this thread's innermost AvErrorLines; nothing when there is none.
  static const std::vector<std::string>* current();

 private:
  std::vector<std::string> lines_;
  std::vector<std::string>* previous_;
};

}  // namespace velmora::detail
