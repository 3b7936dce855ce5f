#include "velmora/cli/command.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>

#include "common/fd.h"
#include "velmora/velmora.hpp"

namespace velmora::cli {
namespace {

namespace fs = std::filesystem;

constexpr const char* HELP =
    "usage: velmora render <avatar> <audio> [-o OUT.mp4] [--quiet]\n"
    "       velmora --help\n"
    "\n"
    "Renders the avatar speaking the audio into an MP4 video (H.264 video, AAC audio).\n"
    "\n"
    "  <avatar>           an avatar on this machine: an avatar file or an unpacked avatar folder\n"
    "  <audio>            the speech: one audio or video file (WAV, MP3, FLAC, Ogg, M4A, MP4,\n"
    "                     WebM, AAC, AIFF, ...); a playlist or a list of files is refused\n"
    "  -o, --output FILE  the video to write; default: the audio's file name with .mp4, in the\n"
    "                     working folder (speech.wav gives speech.mp4). An existing file is\n"
    "                     replaced only once the new video is complete; a symbolic link keeps\n"
    "                     pointing at the new video. The video is always an MP4: a name that\n"
    "                     does not end in .mp4 is refused (status 2). An MP4 needs a regular\n"
    "                     file it can seek in: a FIFO, a device or a socket is refused, and so\n"
    "                     are the audio, the avatar, and any name inside an avatar folder.\n"
    "  -q, --quiet        no progress, no summary and no warnings\n"
    "  -h, --help         this text\n"
    "\n"
    "While it renders, progress (frames, seconds of audio done, frames a second, and the time left\n"
    "once 2 s or a tenth of the audio have been rendered) is shown on standard error when that is a\n"
    "terminal. Exit status: 0 when the video is written, 1 when the render fails, 2 for a wrong\n"
    "command line. Interrupted by SIGINT (Ctrl-C), SIGTERM or SIGHUP (its terminal closed), it\n"
    "removes its unfinished file, leaves an existing one as it was, and ends by that signal,\n"
    "which a shell shows as status 130, 143 or 129. More of these signals while it stops (a closed\n"
    "terminal sends two, a second Ctrl-C) change nothing: it still cleans up, within a fraction of\n"
    "a second, and ends by the first. A signal that comes once the finished video has been renamed\n"
    "onto its name cancels nothing: the video is written (status 0).\n";

constexpr double PROGRESS_EVERY_S = 0.25;
// The time left is estimated from the pace over at least this much rendering or this share of the audio:
// the first frames come after the engine's start-up and tell little of its pace.
constexpr double ESTIMATE_AFTER_S = 2.0;
constexpr double ESTIMATE_AFTER_SHARE = 0.1;

struct UsageFault {
  std::string message;
};

struct Options {
  bool help = false;
  bool quiet = false;
  std::string avatar;
  std::string audio;
  std::string output;
};

Options parse(const std::vector<std::string>& args) {
  Options o;
  if (args.empty()) throw UsageFault{"no command given"};
  if (args[0] == "-h" || args[0] == "--help") {
    o.help = true;
    return o;
  }
  if (args[0] != "render") throw UsageFault{"unknown command '" + args[0] + "'"};
  std::vector<std::string> positional;
  bool options_end = false;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (options_end || a.empty() || a[0] != '-' || a == "-") {
      positional.push_back(a);
    } else if (a == "--") {
      options_end = true;
    } else if (a == "-h" || a == "--help") {
      o.help = true;
    } else if (a == "-q" || a == "--quiet") {
      o.quiet = true;
    } else if (a == "-o" || a == "--output") {
      if (i + 1 == args.size() || args[i + 1].empty()) throw UsageFault{a + " needs a file name"};
      o.output = args[++i];
    } else if (a.starts_with("--output=")) {
      o.output = a.substr(9);
      if (o.output.empty()) throw UsageFault{"--output needs a file name"};
    } else {
      throw UsageFault{"unknown option '" + a + "'"};
    }
  }
  if (o.help) return o;
  if (positional.empty()) throw UsageFault{"missing <avatar> and <audio>"};
  if (positional.size() == 1) throw UsageFault{"missing <audio>"};
  if (positional.size() > 2) throw UsageFault{"unexpected argument '" + positional[2] + "'"};
  o.avatar = positional[0];
  o.audio = positional[1];
  return o;
}

// Errors and details may hold several lines (FFmpeg's, a child's standard error); an error is one line. The
// lines are kept apart by "; ", or by a blank after a line that ends in a colon and so introduces the next;
// blank lines and the blanks around each line are dropped.
std::string one_line(std::string_view text) {
  std::string out;
  while (!text.empty()) {
    const std::size_t end = std::min(text.find_first_of("\r\n"), text.size());
    std::string_view line = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
    if (line.empty()) continue;
    if (!out.empty()) out += out.back() == ':' ? " " : "; ";
    out += line;
  }
  return out;
}

// The writer makes an MP4 whatever the name says, so only an .mp4 name (in any case) is taken.
bool mp4_name(const std::string& output) {
  std::string ext = fs::path(output).extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return ext == ".mp4";
}

void say_error(const Io& io, const std::string& text) {
  std::fprintf(io.err, "velmora: %s\n", one_line(text).c_str());
  std::fflush(io.err);
}

std::string duration_text(double s) {
  char buf[32];
  const auto whole = static_cast<long long>(std::llround(s));
  if (whole < 60) {
    std::snprintf(buf, sizeof buf, "%lld s", whole);
  } else if (whole < 3600) {
    std::snprintf(buf, sizeof buf, "%lld:%02lld", whole / 60, whole % 60);
  } else {
    std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60, whole % 60);
  }
  return buf;
}

// The progress line on a terminal, redrawn in place at most every PROGRESS_EVERY_S. The library may log from
// any thread, so its lines (note) and the progress take turns.
class ProgressView {
 public:
  ProgressView(std::FILE* err, bool on) : err_(err), on_(on) {}

  void show(const WriteProgress& p) {
    if (!on_) return;
    const std::lock_guard<std::mutex> lock(m_);
    if (!first_) first_ = p;
    last_ = p;
    if (drawn_ && p.elapsed_seconds - shown_at_ < PROGRESS_EVERY_S) return;
    draw(p);
    shown_at_ = p.elapsed_seconds;
  }
  // Leaves the latest state on its own line.
  void finish() {
    const std::lock_guard<std::mutex> lock(m_);
    if (!drawn_) return;
    draw(*last_);
    std::fputc('\n', err_);
    std::fflush(err_);
    drawn_ = false;
  }
  // Clears the line, so that an error starts on a clean one.
  void clear() {
    const std::lock_guard<std::mutex> lock(m_);
    clear_line();
  }
  // `line` on a line of its own; the progress comes back below it at the next report.
  void note(const std::string& line) {
    const std::lock_guard<std::mutex> lock(m_);
    clear_line();
    std::fprintf(err_, "%s\n", line.c_str());
    std::fflush(err_);
  }

 private:
  void draw(const WriteProgress& p) {
    std::fprintf(err_, "\r%s\x1b[K", progress_line(p, *first_).c_str());
    std::fflush(err_);
    drawn_ = true;
  }
  void clear_line() {
    if (!drawn_) return;
    std::fputs("\r\x1b[K", err_);
    std::fflush(err_);
    drawn_ = false;
  }

  std::FILE* err_;
  bool on_;
  std::mutex m_;
  bool drawn_ = false;  // the progress is on the current line
  double shown_at_ = 0;
  std::optional<WriteProgress> first_;  // the pace of the time left is taken from here
  std::optional<WriteProgress> last_;
};

// While it lives, the library's warnings go to the view, each on a line of its own: none with --quiet, and
// none once a stop was asked, as the render then ends with the one line that says it was cancelled (what the
// library says of the render host it had to stop, and of the next render, is for applications that render on).
class LibraryLog {
 public:
  LibraryLog(ProgressView& view, bool quiet, std::stop_token stop)
      : view_(view), quiet_(quiet), stop_(std::move(stop)),
        previous_(set_log_sink({LogLevel::warning, [this](const LogRecord& r) { write(r); }})) {}
  ~LibraryLog() { set_log_sink(std::move(previous_)); }
  LibraryLog(const LibraryLog&) = delete;
  LibraryLog& operator=(const LibraryLog&) = delete;

 private:
  void write(const LogRecord& record) {
    if (quiet_ || stop_.stop_requested()) return;
    view_.note(one_line(record.message));
  }

  ProgressView& view_;
  bool quiet_;
  std::stop_token stop_;
  LogSink previous_;
};

}  // namespace

std::string default_output(const std::string& audio) {
  return fs::path(audio).filename().replace_extension(".mp4").string();
}

std::string progress_line(const WriteProgress& p, const WriteProgress& since) {
  char buf[160];
  const double fps = p.elapsed_seconds > 0 ? static_cast<double>(p.frames) / p.elapsed_seconds : 0.0;
  const char* frames = p.frames == 1 ? "frame" : "frames";
  std::string line;
  if (p.total_seconds) {
    std::snprintf(buf, sizeof buf, "velmora: %lld %s, %.1f of %.1f s audio, %.1f fps",
                  static_cast<long long>(p.frames), frames, p.seconds, *p.total_seconds, fps);
    line = buf;
    const double audio = p.seconds - since.seconds;
    const double spent = p.elapsed_seconds - since.elapsed_seconds;
    if (audio > 0 && spent > 0 && (spent >= ESTIMATE_AFTER_S || audio >= ESTIMATE_AFTER_SHARE * *p.total_seconds)) {
      const double left = std::max(0.0, *p.total_seconds - p.seconds) * spent / audio;
      line += ", about " + duration_text(left) + " left";
    }
  } else {
    std::snprintf(buf, sizeof buf, "velmora: %lld %s, %.1f s audio, %.1f fps", static_cast<long long>(p.frames),
                  frames, p.seconds, fps);
    line = buf;
  }
  return line;
}

int run(const std::vector<std::string>& args, const Io& io, std::stop_token stop) {
  Options o;
  try {
    o = parse(args);
  } catch (const UsageFault& fault) {
    say_error(io, fault.message + " (see velmora --help)");
    return USAGE;
  }
  if (o.help) {
    std::fputs(HELP, io.out);
    std::fflush(io.out);
    return OK;
  }
  if (o.output.empty()) o.output = default_output(o.audio);
  // Only what the words show is a usage fault. What the files refuse as the video (the audio, the avatar, a
  // FIFO, ...) is the library's refusal, a failure like the others, from the one place that knows them all.
  if (!mp4_name(o.output)) {
    say_error(io, "the video is written as MP4, so its name must end in .mp4, not '" + o.output +
                      "' (see velmora --help)");
    return USAGE;
  }

  ProgressView view(io.err, io.err_is_terminal && !o.quiet);
  const LibraryLog library_log(view, o.quiet, stop);
  bool opened = false;
  try {
    Avatar avatar = open(o.avatar, stop);
    opened = true;
    const std::int64_t frames =
        avatar.render(AudioInput::file(o.audio), o.output, stop, [&](const WriteProgress& p) { view.show(p); });
    view.finish();
    if (!o.quiet) {
      std::fprintf(io.out, "velmora: wrote %lld frames to %s\n", static_cast<long long>(frames), o.output.c_str());
      std::fflush(io.out);
    }
    return OK;
  } catch (const std::exception& e) {
    view.clear();
    // Once a stop was asked, whatever ended the render (the engine may have been interrupted too) is that.
    if (stop.stop_requested()) {
      say_error(io, opened ? Cancelled().what() : Cancelled::opening().what());
    } else if (const auto* a = dynamic_cast<const AvatarError*>(&e); a && !a->detail().empty()) {
      say_error(io, std::string(a->what()) + " (" + one_line(a->detail().text()) + ")");
    } else {
      say_error(io, e.what());
    }
  }
  return FAILED;
}

// ---- signals ------------------------------------------------------------------------------------------------

namespace {

constexpr int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int STOP_SIGNAL_COUNT = sizeof STOP_SIGNALS / sizeof STOP_SIGNALS[0];

// Lock-free, so the handler may use them, on whichever thread the signal lands.
std::atomic<int> wake_fd{-1};
std::atomic<int> first_signal{0};
static_assert(std::atomic<int>::is_always_lock_free);

// The first stop signal asks the watcher to stop the render; every later one, of the same kind or another, is
// part of that stop and changes nothing (a closed terminal sends SIGHUP twice: the shell forwards one, the
// kernel hangs up the job). Ending the process here instead would skip the clean-up (the unfinished video, a
// half-unpacked cache entry, the render host and the decoder), none of which a signal handler can do.
extern "C" void on_stop_signal(int sig) {
  int none = 0;
  if (!first_signal.compare_exchange_strong(none, sig)) return;
  const int saved = errno;
  const unsigned char byte = static_cast<unsigned char>(sig);
  const int fd = wake_fd.load(std::memory_order_relaxed);
  if (fd >= 0) (void)!::write(fd, &byte, 1);
  errno = saved;
}

sigset_t stop_signal_set() {
  sigset_t set;
  sigemptyset(&set);
  for (const int sig : STOP_SIGNALS) sigaddset(&set, sig);
  return set;
}

}  // namespace

struct SignalStop::State {
  std::stop_source source;
  sigset_t mask_before;  // of the thread that made it
  Fd wake_read, wake_write;
  struct sigaction previous[STOP_SIGNAL_COUNT] {};
  bool installed[STOP_SIGNAL_COUNT] = {};
  std::thread watcher;
};

SignalStop::SignalStop(std::stop_source source) : state_(std::make_unique<State>()) {
  state_->source = std::move(source);
  first_signal = 0;
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return;  // without a pipe, signals keep their usual effect
  state_->wake_read = Fd(ends[0]);
  state_->wake_write = Fd(ends[1]);
  wake_fd = state_->wake_write.get();
  // Only the watcher takes the stop signals: they are held off in this thread before it starts, and so in
  // every thread this one starts later (the render's), and the watcher lets them in. One thread takes them
  // one at a time (the handler's mask holds the others off meanwhile), so the first taken is the first
  // handled; with a thread each, a later signal could be handled first. Children start with no signal held.
  const sigset_t stops = stop_signal_set();
  ::pthread_sigmask(SIG_BLOCK, &stops, &state_->mask_before);
  State* s = state_.get();
  s->watcher = std::thread([s, stops] {
    ::pthread_sigmask(SIG_UNBLOCK, &stops, nullptr);
    unsigned char byte = 0;
    for (;;) {
      const ssize_t n = ::read(s->wake_read.get(), &byte, 1);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0 || byte == 0) return;
      s->source.request_stop();
    }
  });
  for (int i = 0; i < STOP_SIGNAL_COUNT; ++i) {
    struct sigaction now {};
    // A signal the program was started to ignore (a background job's SIGINT) stays ignored.
    if (::sigaction(STOP_SIGNALS[i], nullptr, &now) != 0 || now.sa_handler == SIG_IGN) continue;
    struct sigaction ours {};
    ours.sa_handler = on_stop_signal;
    ours.sa_mask = stops;
    ours.sa_flags = SA_RESTART;
    state_->installed[i] = ::sigaction(STOP_SIGNALS[i], &ours, &state_->previous[i]) == 0;
  }
}

SignalStop::~SignalStop() {
  // Once a signal came, the handler stays: a later signal is still part of that stop (the program is ending,
  // by a video written after all), and the handler does nothing with it.
  if (caught() == 0) {
    for (int i = 0; i < STOP_SIGNAL_COUNT; ++i) {
      if (state_->installed[i]) ::sigaction(STOP_SIGNALS[i], &state_->previous[i], nullptr);
    }
  }
  wake_fd = -1;
  if (state_->watcher.joinable()) {
    const unsigned char zero = 0;
    (void)!::write(state_->wake_write.get(), &zero, 1);
    state_->watcher.join();
    if (caught() == 0) ::pthread_sigmask(SIG_SETMASK, &state_->mask_before, nullptr);
  }
}

// The handler's own record, there as soon as the signal has been handled: the watcher may not have read its
// byte yet when a render that finished meanwhile returns.
int SignalStop::caught() const { return first_signal; }

void SignalStop::reraise() {
  const int sig = caught();
  if (sig == 0) return;
  std::fflush(nullptr);
  // Only the first signal gets its default action back, and is let into this thread: the other stop signals
  // keep the handler, which ignores them, so one that comes now cannot end the process in its place.
  ::signal(sig, SIG_DFL);
  ::raise(sig);
  sigset_t first;
  sigemptyset(&first);
  sigaddset(&first, sig);
  ::pthread_sigmask(SIG_UNBLOCK, &first, nullptr);
}

}  // namespace velmora::cli
