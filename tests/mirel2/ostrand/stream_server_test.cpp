#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <thread>

#include "mirel2/ostrand/host_state.h"
#include "mirel2/ostrand/protocol.h"
#include "mirel2/ostrand/stream_server.h"
#include "mirel2/ostrand/support/fake_renderer.h"

namespace velmora::ostrand {
namespace {

using testing::fake_frame;
using testing::FakeRenderer;

// Step headers and payloads as the adapter sends them.
std::string u32(std::uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); }
std::string samples(std::size_t n, float first = 0.0f) {
  std::vector<float> s(n);
  for (std::size_t i = 0; i < n; ++i) s[i] = first + static_cast<float>(i);
  return u32(static_cast<std::uint32_t>(n)) + std::string(reinterpret_cast<const char*>(s.data()), n * 4);
}
const std::string FLUSH = u32(STEP_FLUSH), RESET = u32(STEP_RESET);

std::string record(std::int32_t index) {
  const auto f = fake_frame(index);
  return std::string(reinterpret_cast<const char*>(&index), 4) + std::string(f.begin(), f.end());
}
const std::string MARKER = "\xff\xff\xff\xff";
const std::string HELLO = "READY {\"fps\":20,\"width\":416,\"height\":720,\"sample_rate\":16000,\"color\":null}\n";

struct Served {
  int status;
  std::string out, err;
  std::size_t flushes;
};

// Runs the server over real pipes: a writer thread feeds `input`, a reader thread drains the output, and the
// log goes to a third pipe. `clock` is the statistics clock.
Served serve_over_pipes(FakeRenderer& renderer, const std::string& input, std::function<double()> clock = [] {
  return 0.0;
}) {
  int in[2], out[2], err[2];
  EXPECT_EQ(::pipe(in), 0);
  EXPECT_EQ(::pipe(out), 0);
  EXPECT_EQ(::pipe(err), 0);
  std::thread writer([&] {
    std::size_t sent = 0;
    while (sent < input.size()) {
      const ssize_t n = ::write(in[1], input.data() + sent, input.size() - sent);
      if (n <= 0) break;
      sent += static_cast<std::size_t>(n);
    }
    ::close(in[1]);
  });
  Served s{};
  auto drain = [](int fd, std::string& to) {
    char buf[1 << 16];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) to.append(buf, static_cast<std::size_t>(n));
    ::close(fd);
  };
  std::thread out_reader(drain, out[0], std::ref(s.out));
  std::thread err_reader(drain, err[0], std::ref(s.err));
  host_state().log.set_fd(err[1]);
  {
    InStream is(in[0]);
    OutStream os(out[1]);
    s.status = serve(renderer, "m.tflite", {is, os, std::move(clock)});
    s.flushes = os.flush_count();
  }
  host_state().log.set_fd(2);
  ::close(out[1]);
  ::close(err[1]);
  writer.join();
  ::close(in[0]);
  out_reader.join();
  err_reader.join();
  return s;
}

const std::string READY_LOG = "[tarnhost] ready 416x720 @20fps  model=m.tflite\n";
const std::string CLOSED_LOG = "[tarnhost] stdin closed \xe2\x80\x94 exiting\n";

TEST(StreamServer, HelloLineThenEndOfInput) {
  for (const std::string input : {"", "\x01", "\x01\x02\x03"}) {
    FakeRenderer r(1600, 2);
    const auto s = serve_over_pipes(r, input);
    EXPECT_EQ(s.status, 0);
    EXPECT_EQ(s.out, HELLO);
    EXPECT_EQ(s.err, READY_LOG + CLOSED_LOG);
    EXPECT_EQ(s.flushes, 1u);
    EXPECT_EQ(r.calls, "");
  }
  FakeRenderer r(1600, 2);
  r.color_ = ColorDescriptor{"lut", std::string(64, 'a')};
  EXPECT_EQ(serve_over_pipes(r, "").out,
            "READY {\"fps\":20,\"width\":416,\"height\":720,\"sample_rate\":16000,\"color\":{\"kind\":\"lut\",\"sha256\":\"" +
                std::string(64, 'a') + "\"}}\n");
}

TEST(StreamServer, AnswersEachStepAndFlushesOncePerNonEmptyBatch) {
  FakeRenderer r(1600, 2);
  // 1000 samples: no chunk. 2500 more: two chunks (frames 3-6). Empty step. Flush: the left-over audio is one
  // more chunk (7, 8), then the marker. A second flush owes nothing: marker alone. Reset, then one chunk
  // numbered from 3 again.
  const std::string input =
      samples(1000) + samples(2500, 1000) + u32(0) + FLUSH + FLUSH + RESET + samples(1600) + FLUSH;
  const auto s = serve_over_pipes(r, input);
  EXPECT_EQ(s.status, 0);
  const std::string want = HELLO + record(3) + record(4) + record(5) + record(6) + record(7) + record(8) + MARKER +
                           MARKER + record(3) + record(4) + MARKER;
  ASSERT_EQ(s.out.size(), want.size());
  EXPECT_TRUE(s.out == want);
  // hello; the batch of 3-6; flush: batch 7-8 and marker; marker; batch 3-4; marker (nothing owed after it).
  EXPECT_EQ(s.flushes, 1u + 1u + 2u + 1u + 1u + 1u);
  EXPECT_EQ(r.calls, "frfrfrFFRfrF");
  ASSERT_EQ(r.fed.size(), 1000u + 2500u + 1600u);
  EXPECT_EQ(r.fed[1500], 1500.0f);
}

TEST(StreamServer, DesyncAndLimits) {
  {
    FakeRenderer r(1600, 2);
    const auto s = serve_over_pipes(r, samples(10) + u32(MAX_STEP_SAMPLES + 1) + samples(10));
    EXPECT_EQ(s.status, 1);
    EXPECT_EQ(s.out, HELLO);
    EXPECT_EQ(s.err, READY_LOG + "[tarnhost] bad step size 16777217 \xe2\x80\x94 protocol desync\n");
    EXPECT_EQ(r.fed.size(), 10u);
  }
  {
    FakeRenderer r(1600, 2);
    const auto s = serve_over_pipes(r, u32(0xFFFFFFFDu));
    EXPECT_EQ(s.status, 1);
    EXPECT_NE(s.err.find("bad step size 4294967293 "), std::string::npos);
  }
  {
    // The largest step is accepted whole: 64 MiB of payload.
    FakeRenderer r(MAX_STEP_SAMPLES + 1, 1);
    const auto s = serve_over_pipes(r, samples(MAX_STEP_SAMPLES));
    EXPECT_EQ(s.status, 0);
    EXPECT_EQ(r.fed.size(), MAX_STEP_SAMPLES);
    EXPECT_EQ(r.fed.back(), static_cast<float>(MAX_STEP_SAMPLES - 1));
  }
  {
    // A payload cut short by the end of input is dropped: nothing fed, nothing flushed, status 0.
    FakeRenderer r(1600, 2);
    const std::string full = samples(2000);
    const auto s = serve_over_pipes(r, full.substr(0, full.size() - 1));
    EXPECT_EQ(s.status, 0);
    EXPECT_EQ(s.out, HELLO);
    EXPECT_EQ(r.calls, "");
    EXPECT_EQ(s.err, READY_LOG + CLOSED_LOG);
  }
}

TEST(StreamServer, StatisticsLineAtMostEveryFiveSeconds) {
  // The clock is read once at ready and once after each sample step.
  const double ticks[] = {100.0, 103.0, 106.0, 108.0, 111.5, 111.6, 117.0};
  std::size_t next = 0;
  auto clock = [&] { return ticks[std::min(next++, std::size(ticks) - 1)]; };
  FakeRenderer r(1600, 2);
  r.seconds_per_chunk = 0.64;
  // Ready at 100. Steps at 103 and 106 render nothing, so no line and the clock keeps 100. The step at 108
  // renders the first chunk, 8 s after ready: a line. 111.5: too soon. Flush and reset read no clock. 111.6:
  // too soon. 117: 9 s after the last line: a line (the second chunk since the reset).
  const std::string input =
      samples(100) + samples(100) + samples(1400) + samples(1600) + FLUSH + RESET + samples(1600) + samples(1600);
  const auto s = serve_over_pipes(r, input, clock);
  EXPECT_EQ(s.err, READY_LOG + "[tarnhost] rtf=0.400 chunks=1 fps=50.0\n" +
                       "[tarnhost] rtf=0.400 chunks=2 fps=50.0\n" + CLOSED_LOG);
}

TEST(StatsLine, FormatsAndNeverDividesByZero) {
  EXPECT_EQ(stats_line(0.4, 17, 17 * 0.64), "rtf=0.400 chunks=17 fps=50.0");
  EXPECT_EQ(stats_line(0.0, 3, 0.0), "rtf=0.000 chunks=3 fps=inf");
  EXPECT_EQ(stats_line(1.0625, 0, 1.7), "rtf=1.062 chunks=0 fps=18.8");
}

// The output pipe grows to hold a frame record where the system allows it; anything else is left alone.
TEST(OutStream, EnlargesItsPipeAsFarAsAllowed) {
  int p[2];
  ASSERT_EQ(::pipe(p), 0);
  long limit = OutStream::PIPE_BYTES;
  if (FILE* f = std::fopen("/proc/sys/fs/pipe-max-size", "r")) {
    EXPECT_EQ(std::fscanf(f, "%ld", &limit), 1);
    std::fclose(f);
  }
  { OutStream os(p[1]); }
  EXPECT_GE(::fcntl(p[1], F_GETPIPE_SZ), std::min<long>(limit, OutStream::PIPE_BYTES));
  ::close(p[0]);
  ::close(p[1]);
  FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  OutStream os(::fileno(file));  // not a pipe: nothing to enlarge, no error
  os.write(std::as_bytes(std::span("abc", 3)));
  os.flush();
  EXPECT_EQ(::lseek(::fileno(file), 0, SEEK_END), 3);
  std::fclose(file);
}

}  // namespace
}  // namespace velmora::ostrand
