// A render host program for the mirel-2 engine adapter's tests: it speaks the stream protocol with frames of
// its own (no models) on the real host's schedule, and fails in chosen ways. FAKE_HOST_MODE:
//   serve (default)  hello line, then the protocol: chunk 0 (22 records, 3..24, its first frame twice) once
//                    25,600 samples are in, chunk k >= 1 (32 records) at 44,000 + (k-1) x 25,600; a flush renders
//                    the owed chunks and writes the end marker; a reset starts again at 3
//   fatal            "[tarnhost] FATAL: scripted bundle fault" on standard error, status 3, no hello
//   exit1            two lines on standard error, status 1, no hello
//   bad-hello        "HELLO there" as its first line, then waits for the end of its input
//   die-after=N      serves, and ends with status 1 right after its N-th frame record
//   hang-after=N     serves, and after its N-th frame record says so on standard error and hangs
//   pause-after=N    serves, and after its N-th frame record waits (20 s at most) until its input has bytes
//   no-hello         says it is loading on standard error and hangs, before any hello line
//   linger=MS        serves, and ends MS milliseconds after its input ended
//   no-exit          serves, and hangs once its input ended (SIGTERM ends it)
//   no-exit-no-term  the same, ignoring SIGTERM
//   long-hello       more than 64 KB of output without a line's end, then hangs; SIGTERM ends it with "term" in
//                    its log (its clean-up)
// FAKE_HOST_LOG names a file that gets one line per step: "samples <n> <first> <last>", "flush", "reset", and
// "eof" at the end of the input. Frame bytes: every byte (slot x 37 + 11) mod 256 but the first four, which
// hold the slot (frame slot = record index - 4, the first frame's two records both slot 0).
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t FLUSH = 0xFFFFFFFFu;
constexpr std::uint32_t RESET = 0xFFFFFFFEu;
constexpr std::uint32_t MAX_STEP = 0x1000000u;
constexpr std::size_t FRAME_BYTES = 720 * 416 * 3;

FILE* step_log = nullptr;
long die_after = -1;
long hang_after = -1;
long pause_after = -1;
long records_written = 0;

[[noreturn]] void hang() {
  while (true) ::pause();
}

void log_step(const std::string& line) {
  if (step_log == nullptr) return;
  std::fprintf(step_log, "%s\n", line.c_str());
  std::fflush(step_log);
}

bool read_exact(void* dst, std::size_t n) {
  auto* p = static_cast<char*>(dst);
  while (n > 0) {
    const ssize_t r = ::read(0, p, n);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<std::size_t>(r);
  }
  return true;
}

void write_all(const void* src, std::size_t n) {
  const auto* p = static_cast<const char*>(src);
  while (n > 0) {
    const ssize_t w = ::write(1, p, n);
    if (w <= 0) std::exit(1);
    p += w;
    n -= static_cast<std::size_t>(w);
  }
}

void say(const char* line) { std::fprintf(stderr, "[tarnhost] %s\n", line); }

struct Stream {
  std::uint64_t fed = 0;
  long ci = 0;          // next chunk
  std::int32_t next = 3;  // next record index
  std::vector<std::uint8_t> frame = std::vector<std::uint8_t>(FRAME_BYTES);

  static std::uint64_t need(long k) { return k == 0 ? 25600 : 44000 + static_cast<std::uint64_t>(k - 1) * 25600; }

  void record(std::int32_t index) {
    const std::int32_t slot = index <= 4 ? 0 : index - 4;
    std::memset(frame.data(), (slot * 37 + 11) & 0xff, FRAME_BYTES);
    std::memcpy(frame.data(), &slot, 4);
    write_all(&index, 4);
    write_all(frame.data(), FRAME_BYTES);
    ++records_written;
    if (records_written == die_after) {
      say("scripted death after a frame record");
      std::exit(1);
    }
    if (records_written == hang_after) {
      say("scripted hang after a frame record");
      hang();
    }
    if (records_written == pause_after) {
      pollfd in{0, POLLIN, 0};
      ::poll(&in, 1, 20000);
    }
  }

  void chunk() {
    const int n = ci == 0 ? 22 : 32;
    for (int i = 0; i < n; ++i) record(next++);
    ++ci;
  }

  void ready() {
    while (fed >= need(ci)) chunk();
  }

  void flush() {
    const long end_fi = static_cast<long>((fed + 799) / 800) - 1;
    const long n_chunks = std::max(1L, (end_fi + 12 + 31) / 32);
    while (ci < n_chunks) chunk();
  }
};

}  // namespace

int main() {
  const char* mode_env = std::getenv("FAKE_HOST_MODE");
  const std::string mode = mode_env ? mode_env : "serve";
  if (const char* log = std::getenv("FAKE_HOST_LOG")) step_log = std::fopen(log, "a");
  if (mode == "fatal") {
    say("loading bundle");
    say("FATAL: scripted bundle fault");
    return 3;
  }
  if (mode == "exit1") {
    say("warming up");
    say("scripted start-up failure");
    return 1;
  }
  if (mode == "bad-hello") {
    write_all("HELLO there\n", 12);
    char c;
    while (::read(0, &c, 1) > 0) {
    }
    return 0;
  }
  if (mode == "no-hello") {
    say("loading models");
    hang();
  }
  if (mode == "long-hello") {
    ::signal(SIGTERM, [](int) {
      log_step("term");
      ::_exit(0);
    });
    const std::string text(70000, 'x');
    write_all(text.data(), text.size());
    hang();
  }
  auto number_after = [&](const char* prefix) -> long {
    return mode.rfind(prefix, 0) == 0 ? std::atol(mode.c_str() + std::strlen(prefix)) : -1;
  };
  die_after = number_after("die-after=");
  hang_after = number_after("hang-after=");
  pause_after = number_after("pause-after=");
  if (mode == "no-exit-no-term") ::signal(SIGTERM, SIG_IGN);

  const std::string hello = "READY {\"fps\":20,\"width\":416,\"height\":720,\"sample_rate\":16000,\"color\":null}\n";
  write_all(hello.data(), hello.size());
  say("ready 416x720 @20fps  model=fake");
  Stream s;
  std::vector<float> pcm;
  std::uint32_t word;
  while (read_exact(&word, 4)) {
    if (word == FLUSH) {
      log_step("flush");
      s.flush();
      const std::int32_t end = -1;
      write_all(&end, 4);
    } else if (word == RESET) {
      log_step("reset");
      s = Stream();
    } else if (word > MAX_STEP) {
      say("bad step size — protocol desync");
      return 1;
    } else {
      pcm.resize(word);
      if (word > 0 && !read_exact(pcm.data(), word * 4)) break;
      char line[128];
      std::snprintf(line, sizeof line, "samples %u %.9g %.9g", word, word ? pcm.front() : 0.0, word ? pcm.back() : 0.0);
      log_step(line);
      s.fed += word;
      s.ready();
    }
  }
  log_step("eof");
  if (const long linger = number_after("linger="); linger >= 0) ::usleep(static_cast<useconds_t>(linger) * 1000);
  if (mode == "no-exit" || mode == "no-exit-no-term") hang();
  say("stdin closed — exiting");
  return 0;
}
