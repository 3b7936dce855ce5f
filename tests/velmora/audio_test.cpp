#include <gtest/gtest.h>

#include "common/fd.h"
#include "common/pytext.h"
#include "common/run_captured.h"
#include "velmora/audio_input.h"
#include "velmora/av.h"
#include "velmora/avatar.hpp"
#include "velmora/errors.hpp"
#include "velmora/support/log_capture.h"
#include "velmora/support/scratch.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sched.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "support/process.h"

namespace velmora {
namespace {

using detail::chunks;
using detail::expected_frames;
using detail::pcm_of;
using detail::whole_clip;
using testing::s16_bytes;
using testing::ScopedEnv;
using testing::TempDir;

Pcm clip_of(AudioInput audio) {
  auto clip = whole_clip(audio);
  EXPECT_TRUE(clip.has_value());
  return clip.value_or(Pcm{});
}

std::vector<std::int16_t> samples_of(const Pcm& pcm) {
  std::vector<std::int16_t> out(pcm.size() / 2);
  std::memcpy(out.data(), pcm.data(), out.size() * 2);
  return out;
}

template <class T>
std::span<const std::byte> bytes_of(const std::vector<T>& v) {
  return std::as_bytes(std::span<const T>(v));
}

// The texts of the two TypeErrors, as the caller sees them.
constexpr const char* TYPE_TEXT =
    "audio must be 16 kHz mono samples (bytes / int16 or float array), an audio file path, or an iterable of "
    "those; got ";
constexpr const char* DTYPE_TEXT = "audio arrays must be int16, or float32/float64 in [-1, 1]; got ";

TEST(AudioSamples, EveryInMemoryFormGivesItsPcm) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<float> f32 = {2.0f, -3.0f, 0.5f, 1.0f, -1.0f, nan, -0.5f, 1e-9f, -0.99999f};
  const std::vector<double> f64 = {2.0, -3.0, 0.5, 1.0, -1.0, std::nan(""), -0.5, 1e-9, -0.99999};
  const std::vector<std::int16_t> want = {32767, -32767, 16383, 32767, -32767, 0, -16383, 0, -32766};
  const std::vector<std::int16_t> i16 = {0, 1, -1, 32767, -32768, 12345};

  EXPECT_EQ(samples_of(clip_of(AudioInput::samples(f32))), want);
  EXPECT_EQ(samples_of(clip_of(AudioInput::samples(f64))), want);
  EXPECT_EQ(samples_of(clip_of(AudioInput::samples(i16))), i16);
  EXPECT_EQ(samples_of(clip_of(AudioInput::array({"float32", bytes_of(f32)}))), want);
  EXPECT_EQ(samples_of(clip_of(AudioInput::array({"float64", bytes_of(f64)}))), want);
  EXPECT_EQ(samples_of(clip_of(AudioInput::array({"int16", bytes_of(i16)}))), i16);

  // Scaling happens in the samples' own precision: this float32 times 32767 rounds to 21654 in float32,
  // while the exact product lies just below it.
  const float edge = std::bit_cast<float>(0x3f292d52u);
  EXPECT_EQ(samples_of(clip_of(AudioInput::samples(std::vector<float>{edge}))), std::vector<std::int16_t>{21654});
  EXPECT_EQ(samples_of(clip_of(AudioInput::samples(std::vector<double>{edge}))), std::vector<std::int16_t>{21653});

  // Array bytes need no alignment.
  std::vector<std::byte> unaligned(1 + f32.size() * sizeof(float));
  std::memcpy(unaligned.data() + 1, f32.data(), f32.size() * sizeof(float));
  EXPECT_EQ(samples_of(clip_of(AudioInput::array({"float32", std::span(unaligned).subspan(1)}))), want);
}

TEST(AudioSamples, PcmBytesAreTakenAsTheyAreAndCopied) {
  std::vector<std::uint8_t> odd = {'/', 't', 'm', 'p'};  // reads like a path, odd length: still PCM
  const AudioInput audio = AudioInput::pcm(std::span<const std::uint8_t>(odd));
  odd[0] = 'X';
  EXPECT_EQ(whole_clip(audio), (Pcm{'/', 't', 'm', 'p'}));
  EXPECT_EQ(whole_clip(AudioInput::pcm(Pcm{})), Pcm{});
}

TEST(AudioSamples, RefusedFormsFailWhenConvertedWithTheirTexts) {
  const std::vector<std::int32_t> i32 = {1, 2};
  struct Case {
    AudioItem item;
    std::string message;
  };
  Case cases[] = {
      {AudioItem::array({"int32", bytes_of(i32)}), std::string(DTYPE_TEXT) + "int32"},
      {AudioItem::array({">i2", bytes_of(i32)}), std::string(DTYPE_TEXT) + ">i2"},
      {AudioItem::unsupported("int"), std::string(TYPE_TEXT) + "int"},
      {AudioItem::unsupported("NoneType"), std::string(TYPE_TEXT) + "NoneType"},
  };
  for (auto& c : cases) {
    const AudioInput audio(std::move(c.item));  // building it is fine; converting it is refused
    try {
      whole_clip(audio);
      ADD_FAILURE() << "no TypeError for " << c.message;
    } catch (const TypeError& e) {
      EXPECT_EQ(e.what(), c.message);
    }
  }
  const std::vector<std::uint8_t> three(3);
  EXPECT_THROW(AudioItem::array({"int16", std::as_bytes(std::span(three))}), ValueError);
}

TEST(AudioChunks, AWholeClipIsOneChunkEvenWhenEmpty) {
  for (const Pcm& clip : {Pcm{1, 2, 3, 4}, Pcm{}}) {
    auto g = chunks(AudioInput::pcm(clip));
    EXPECT_EQ(g.next(), clip);
    EXPECT_EQ(g.next(), std::nullopt);
  }
  // A clip given by the caller is used as it is.
  auto g = chunks(AudioInput::pcm(Pcm{9}), Pcm{7, 7});
  EXPECT_EQ(g.next(), (Pcm{7, 7}));
  EXPECT_EQ(g.next(), std::nullopt);
}

Generator<AudioItem> recorded(std::shared_ptr<std::vector<int>> pulled, int n) {
  for (int i = 0; i < n; ++i) {
    pulled->push_back(i);
    if (i == 2) throw std::runtime_error("live source broke");
    AudioItem item = AudioItem::pcm(Pcm{static_cast<std::uint8_t>(i)});
    co_yield std::move(item);
  }
}

TEST(AudioChunks, AStreamIsConvertedItemByItemAtEachPull) {
  auto pulled = std::make_shared<std::vector<int>>();
  AudioInput audio = AudioInput::stream(recorded(pulled, 5));
  EXPECT_TRUE(audio.is_stream());
  EXPECT_EQ(whole_clip(audio), std::nullopt);  // probing draws nothing
  auto g = chunks(std::move(audio));
  EXPECT_TRUE(pulled->empty());
  EXPECT_EQ(g.next(), Pcm{0});
  EXPECT_EQ(*pulled, std::vector<int>{0});
  EXPECT_EQ(g.next(), Pcm{1});
  EXPECT_THROW(g.next(), std::runtime_error);  // the source's own failure, at its pull

  // Items of a stream are refused one by one, when they are pulled.
  std::vector<AudioItem> items;
  items.push_back(AudioItem::samples(std::vector<std::int16_t>{5}));
  items.push_back(AudioItem::unsupported("int"));
  auto g2 = chunks(AudioInput::stream(std::move(items)));
  EXPECT_EQ(g2.next(), s16_bytes({5}));
  EXPECT_THROW(g2.next(), TypeError);
}

TEST(AudioChunks, SamplesSplitBetweenChunksAreJoinedAndAnOddLastByteWaits) {
  const std::vector<std::vector<std::size_t>> cases = {
      {}, {0}, {1}, {5}, {1, 1}, {3, 1}, {1, 0, 1}, {3, 3, 2}, {2, 1, 1, 2}, {1, 2, 2, 2, 1}, {3, 0, 0, 5, 1},
  };
  for (const auto& sizes : cases) {
    SCOPED_TRACE(::testing::PrintToString(sizes));
    Pcm stream;
    std::optional<std::uint8_t> carry, carry_in_place;
    Pcm got, got_in_place;
    std::uint8_t next = 0;
    for (const std::size_t n : sizes) {
      Pcm chunk(n);
      for (auto& b : chunk) b = ++next;
      stream.insert(stream.end(), chunk.begin(), chunk.end());
      const detail::WholeSamples w = detail::whole_samples(std::span<const std::uint8_t>(chunk), carry);
      if (w.joined) got.insert(got.end(), w.joined->begin(), w.joined->end());
      got.insert(got.end(), w.whole.begin(), w.whole.end());
      detail::whole_samples(chunk, carry_in_place);
      EXPECT_EQ(chunk.size() % 2, 0u);
      got_in_place.insert(got_in_place.end(), chunk.begin(), chunk.end());
    }
    const bool odd = stream.size() % 2 != 0;
    const Pcm whole(stream.begin(), stream.end() - (odd ? 1 : 0));
    EXPECT_EQ(got, whole);
    EXPECT_EQ(got_in_place, whole);
    EXPECT_EQ(carry, odd ? std::optional<std::uint8_t>(stream.back()) : std::nullopt);
    EXPECT_EQ(carry_in_place, carry);
  }
}

TEST(AudioExpectedFrames, CountsWholeFramesOfTheClip) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    std::optional<std::size_t> bytes;
    std::optional<double> fps;
    std::optional<std::int64_t> want;
  };
  const Case cases[] = {
      {std::nullopt, 20.0, std::nullopt}, {32000, std::nullopt, std::nullopt}, {32000, 0.0, std::nullopt},
      {32000, 20.0, 20},                  {31999, 20.0, 19},                   {1600, 20.0, 1},
      {1599, 20.0, std::nullopt},         {0, 25.0, std::nullopt},             {64000, 25.0, 50},
      {32000, -20.0, std::nullopt},       {48000, 2.5, 3},                      {1000, 1e300, INT64_MAX},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(expected_frames(c.bytes, c.fps), c.want)
        << (c.bytes ? std::to_string(*c.bytes) : "none") << " bytes at " << (c.fps ? std::to_string(*c.fps) : "none");
  }
  EXPECT_THROW(expected_frames(32000, nan), ValueError);
  EXPECT_THROW(expected_frames(32000, std::numeric_limits<double>::infinity()), ValueError);
}

// --- files -------------------------------------------------------------------------------------------

std::vector<std::int16_t> test_tone(std::size_t n, int channels = 1) {
  std::vector<std::int16_t> s(n * static_cast<std::size_t>(channels));
  for (std::size_t i = 0; i < s.size(); ++i) {
    s[i] = static_cast<std::int16_t>(std::lround(12000.0 * std::sin(0.05 * static_cast<double>(i))) + (i % 7) - 3);
  }
  return s;
}

// A folder for programs that takes the place of PATH: the fake ffmpeg goes there, or nothing does.
struct ProgramFolder {
  TempDir dir;
  ScopedEnv path{"PATH", dir.path().string()};
};

TEST(AudioFiles, TheFfmpegProgramDecodesAWavToExactlyItsSamples) {
  TempDir dir;
  const auto tone = test_tone(4000);
  testing::write_wav(dir.path() / "speech.wav", 16000, 1, tone);
  EXPECT_EQ(samples_of(clip_of(AudioInput::file(dir.path() / "speech.wav"))), tone);
  // A path given as such, as a string or as a C string is a file too.
  const std::filesystem::path path = dir.path() / "speech.wav";
  const std::string text = path.string();
  EXPECT_EQ(samples_of(clip_of(AudioInput(path))), tone);
  EXPECT_EQ(samples_of(clip_of(AudioInput(text))), tone);
  EXPECT_EQ(samples_of(clip_of(AudioInput(text.c_str()))), tone);
  EXPECT_THROW(AudioInput(static_cast<const char*>(nullptr)), ValueError);
}

// Paths convert to audio implicitly, so `render("speech.wav")` reads that file; bytes never do.
static_assert(std::is_convertible_v<const char*, AudioInput> && std::is_convertible_v<std::string, AudioInput> &&
              std::is_convertible_v<std::filesystem::path, AudioInput>);
static_assert(!std::is_convertible_v<Pcm, AudioInput> && !std::is_convertible_v<std::span<const std::uint8_t>, AudioInput>);
static_assert(requires(Avatar& avatar) { avatar.render("speech.wav"); });

TEST(AudioFiles, WithoutTheProgramTheLibrariesDecodeTheSamePcm) {
  TempDir dir;
  testing::write_wav(dir.path() / "mono16k.wav", 16000, 1, test_tone(4000));
  testing::write_wav(dir.path() / "stereo44k.wav", 44100, 2, test_tone(11025, 2));
  for (const char* name : {"mono16k.wav", "stereo44k.wav"}) {
    const Pcm by_program = clip_of(AudioInput::file(dir.path() / name));
    ProgramFolder no_ffmpeg;
    const Pcm by_library = clip_of(AudioInput::file(dir.path() / name));
    EXPECT_FALSE(by_library.empty()) << name;
    EXPECT_EQ(by_library, by_program) << name;
  }
}

// Working folder and standard input changed for one test, put back afterwards.
class InFolderWithoutInput {
 public:
  explicit InFolderWithoutInput(const std::filesystem::path& dir)
      : old_dir_(std::filesystem::current_path()), old_stdin_(::dup(0)) {
    std::filesystem::current_path(dir);
    const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ::dup2(null, 0);
    ::close(null);
  }
  ~InFolderWithoutInput() {
    std::filesystem::current_path(old_dir_);
    ::dup2(old_stdin_, 0);
    ::close(old_stdin_);
  }

 private:
  std::filesystem::path old_dir_;
  int old_stdin_;
};

TEST(AudioFiles, WithoutTheProgramANameThatReadsLikeAProtocolIsStillThatFile) {
  TempDir dir;
  testing::write_wav(dir.path() / "pipe:0", 16000, 1, {7, 8, 9});
  ProgramFolder no_ffmpeg;
  InFolderWithoutInput here(dir.path());
  EXPECT_EQ(samples_of(clip_of(AudioInput::file("pipe:0"))), (std::vector<std::int16_t>{7, 8, 9}));
}

TEST(AudioFiles, WithoutTheProgramAnUnreadableFileFails) {
  TempDir dir;
  testing::write_file(dir.path() / "notes.txt", "this is not audio\n");
  testing::write_wav(dir.path() / "empty.wav", 16000, 1, {});
  ProgramFolder no_ffmpeg;
  for (const char* name : {"notes.txt", "empty.wav"}) {
    try {
      whole_clip(AudioInput::file(dir.path() / name));
      ADD_FAILURE() << "no Failed for " << name;
    } catch (const Failed& e) {
      EXPECT_STREQ(e.what(), "could not read that audio");
      EXPECT_TRUE(e.detail().is_exception()) << name;
      EXPECT_FALSE(e.detail().text().empty()) << name;
    }
  }
}

// This process's standard error goes to a file while it lives.
class StandardErrorToFile {
 public:
  explicit StandardErrorToFile(std::filesystem::path file) : file_(std::move(file)), saved_(::dup(2)) {
    const int fd = ::open(file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ::dup2(fd, 2);
    ::close(fd);
  }
  ~StandardErrorToFile() {
    ::dup2(saved_, 2);
    ::close(saved_);
  }
  std::string text() const { return testing::read_file(file_); }

 private:
  std::filesystem::path file_;
  int saved_;
};

TEST(AudioFiles, WithoutTheProgramTheLibrariesLogToTheLoggerAndTheirErrorsToTheDetail) {
  TempDir dir;
  // A WAV cut short inside its data decodes with a warning; an MP3 tag over nothing fails with an error line.
  testing::write_wav(dir.path() / "cut.wav", 16000, 1, test_tone(16000));
  std::filesystem::resize_file(dir.path() / "cut.wav", 1044);
  testing::write_file(dir.path() / "tag.mp3", std::string("ID3\x03\0\0\0\0\0\0", 10) + std::string(5000, '\0'));
  ProgramFolder no_ffmpeg;
  testing::LogCapture log;
  std::string detail;
  std::string standard_error;
  {
    StandardErrorToFile err(dir.path() / "stderr.txt");
    EXPECT_FALSE(clip_of(AudioInput::file(dir.path() / "cut.wav")).empty());
    try {
      whole_clip(AudioInput::file(dir.path() / "tag.mp3"));
      ADD_FAILURE() << "no error";
    } catch (const Failed& e) {
      detail = e.detail().text();
    }
    standard_error = err.text();
  }
  EXPECT_EQ(standard_error, "");
  EXPECT_NE(detail.find("] Failed to read frame size"), std::string::npos) << detail;
  std::vector<std::string> lines;
  for (const auto& r : log.records) {
    EXPECT_EQ(r.logger, "velmora");
    EXPECT_EQ(r.level, LogLevel::debug) << r.message;
    lines.push_back(r.message);
  }
  const auto has = [&](const char* text) {
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(text) != std::string::npos; });
  };
  EXPECT_TRUE(has("Packet corrupt")) << ::testing::PrintToString(lines);
  EXPECT_TRUE(has("Failed to read frame size")) << ::testing::PrintToString(lines);
}

// Its standard input is the file, opened by us; it reads it through /proc, never by its name.
TEST(AudioFiles, TheProgramGetsExactlyItsArgumentsTheFileAsItsInputAndAProcessGroupOfItsOwn) {
  TempDir dir;
  testing::write_file(dir.path() / "a -i b.wav", "whatever");
  ProgramFolder bin;
  const auto log = bin.dir.path() / "args";
  // A process group of its own: a terminal's Ctrl-C is the caller's to handle, not the decoder's end.
  testing::write_script(bin.dir.path() / "ffmpeg",
                        "PATH=/usr/bin:/bin\n"
                        "for a in \"$0\" \"$@\"; do printf '%s\\n' \"$a\"; done > '" + log.string() + "'\n"
                        "readlink /proc/self/fd/0 >> '" + log.string() + "'\n"
                        "read -r pid comm state ppid group rest < /proc/$$/stat\n"
                        "[ \"$group\" = $$ ] && echo own group >> '" + log.string() + "'\n"
                        "printf 'PCM\\000\\377'\n");
  const std::string file = (dir.path() / "a -i b.wav").string();
  EXPECT_EQ(clip_of(AudioInput::file(file)), (Pcm{'P', 'C', 'M', 0, 0xff}));
  const std::string program = (bin.dir.path() / "ffmpeg").string();
  const std::string front = program + "\n-nostdin\n-loglevel\nerror\n-protocol_whitelist\nfile\n-format_whitelist\n" +
                            detail::AUDIO_DEMUXERS + "\n";
  const std::string back = "-i\nfile:/proc/self/fd/0\n-ar\n16000\n-ac\n1\n-f\ns16le\n-\n";
  EXPECT_EQ(testing::read_file(log), front + back + file + "\nown group\n");
  // A kind the libraries know is named to the program, which then makes no guess of its own.
  testing::write_wav(file, 16000, 1, {1, 2});
  EXPECT_EQ(clip_of(AudioInput::file(file)), (Pcm{'P', 'C', 'M', 0, 0xff}));
  EXPECT_EQ(testing::read_file(log), front + "-f\nwav\n" + back + file + "\nown group\n");
}

TEST(AudioFiles, AFailingProgramGivesFailedWithThe300FirstCharactersOfItsErrors) {
  TempDir dir;
  testing::write_file(dir.path() / "x.wav", "x");
  ProgramFolder bin;
  // 400 two-byte characters, one invalid byte in the middle of them: 300 characters are not 300 bytes.
  std::string err;
  for (int i = 0; i < 200; ++i) err += "\xc3\xa9";
  err += "\xff";
  for (int i = 0; i < 200; ++i) err += "\xc3\xa9";
  testing::write_file(bin.dir.path() / "stderr.bin", err);
  testing::write_script(bin.dir.path() / "ffmpeg",
                        "PATH=/usr/bin:/bin\ncat '" + (bin.dir.path() / "stderr.bin").string() + "' >&2\nexit 1\n");
  std::string want;
  for (int i = 0; i < 200; ++i) want += "\xc3\xa9";
  want += "\xef\xbf\xbd";
  for (int i = 0; i < 99; ++i) want += "\xc3\xa9";
  try {
    whole_clip(AudioInput::file(dir.path() / "x.wav"));
    ADD_FAILURE() << "no Failed";
  } catch (const Failed& e) {
    EXPECT_STREQ(e.what(), "could not read that audio");
    EXPECT_TRUE(e.detail().is_text());
    EXPECT_EQ(e.detail().text(), want);
  }
}

TEST(AudioFiles, FfmpegsLogLinesBecomeErrorTextWithoutHeapAddressesOrTrailingBlanks) {
  struct Case {
    const char* log;
    const char* text;
  };
  const Case cases[] = {
      {"[mp3 @ 0x55d4a5c0e900] Failed to read frame size: Could not seek to 1026.\n/a/b.mp3: Invalid argument\n",
       "[mp3] Failed to read frame size: Could not seek to 1026.\n/a/b.mp3: Invalid argument"},
      {"[aac @ 0x1f] [in#0 @ 0xABCDEF]   decoding failed \t\r\n\n  \n", "[aac] [in#0] decoding failed"},
      {"[mp3 @ 0x12] \n", ""},
      // Brackets that are no such prefix stay.
      {"[Errno 22] Invalid argument: '[x @ 0x1] y'", "[Errno 22] Invalid argument: '[x @ 0x1] y'"},
      {"[mp3 @ 0xfy] text", "[mp3 @ 0xfy] text"},
      {"[ @ 0x12] text", "[ @ 0x12] text"},
      {"no prefix", "no prefix"},
  };
  for (const Case& c : cases) EXPECT_EQ(detail::av_log_text(c.log), c.text) << c.log;

  // The ffmpeg program's standard error as the detail.
  TempDir dir;
  testing::write_file(dir.path() / "x.wav", "x");
  ProgramFolder bin;
  testing::write_script(bin.dir.path() / "ffmpeg",
                        "echo '[wav @ 0x55d4a5c0e900] Invalid data found when processing input' >&2\nexit 1\n");
  try {
    whole_clip(AudioInput::file(dir.path() / "x.wav"));
    ADD_FAILURE() << "no Failed";
  } catch (const Failed& e) {
    EXPECT_EQ(e.detail().text(), "[wav] Invalid data found when processing input");
  }
}

TEST(AudioFiles, BothOutputPipesAreReadTogether) {
  TempDir dir;
  testing::write_file(dir.path() / "x.wav", "x");
  ProgramFolder bin;
  // Far more than a pipe holds on each side, errors first: reading one pipe after the other would stall.
  testing::write_script(bin.dir.path() / "ffmpeg",
                        "PATH=/usr/bin:/bin\nhead -c 300000 /dev/zero >&2\nhead -c 300000 /dev/zero\n"
                        "head -c 300000 /dev/zero >&2\n");
  EXPECT_EQ(clip_of(AudioInput::file(dir.path() / "x.wav")), Pcm(300000, 0));
}

// A missing file is "no audio at"; what is there but no regular file says what it is, by both roads, without
// starting anything (a FIFO's open never waits for a writer).
TEST(AudioFiles, WhatIsNoRegularFileSaysWhatItIsWithoutStartingAnything) {
  TempDir dir;
  const std::string fifo = (dir.path() / "talk.wav").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string socket_path = (dir.path() / "s.wav").string();
  const Fd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socket_path.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  const std::string folder = dir.path().string();
  const std::pair<std::string, std::string> cases[] = {
      {(dir.path() / "missing.wav").string(), "no audio at " + (dir.path() / "missing.wav").string()},
      {(dir.path() / "talk.wav/x").string(), "no audio at " + (dir.path() / "talk.wav/x").string()},
      {"", "no audio at "},
      {folder, folder + " is a folder, not an audio file"},
      {fifo, fifo + " is a FIFO, not an audio file"},
      {"/dev/null", "/dev/null is a device, not an audio file"},
      {socket_path, socket_path + " is a socket, not an audio file"},
  };
  for (const bool by_program : {true, false}) {
    ProgramFolder bin;
    const auto started = bin.dir.path() / "started";
    if (by_program) testing::write_script(bin.dir.path() / "ffmpeg", "touch '" + started.string() + "'\n");
    for (const auto& [path, message] : cases) {
      try {
        whole_clip(AudioInput::file(path));
        ADD_FAILURE() << "no FileNotFound for " << py_repr(path);
      } catch (const FileNotFound& e) {
        EXPECT_EQ(e.what(), message);
        EXPECT_EQ(e.code(), std::errc::no_such_file_or_directory);
      }
    }
    EXPECT_FALSE(std::filesystem::exists(started));
  }
}

// A name that reads like one of the libraries' URLs (another protocol, a list of files, a part of another
// file) is that file, for the program and for the libraries, as a path relative to the working folder and as
// an absolute one.
TEST(AudioFiles, ANameThatReadsLikeAUrlIsStillThatFile) {
  TempDir dir;
  const char* names[] = {"short.wav", "concat:short.wav|short.wav", "12:30 interview.wav",
                         "subfile,,start,0,end,1000,,:short.wav", "file:short.wav"};
  std::vector<std::vector<std::int16_t>> tones;
  for (std::size_t i = 0; i < std::size(names); ++i) {
    tones.push_back(test_tone(1600 * (i + 1)));
    testing::write_wav(dir.path() / names[i], 16000, 1, tones.back());
  }
  for (const bool by_program : {true, false}) {
    std::optional<ProgramFolder> no_ffmpeg;
    if (!by_program) no_ffmpeg.emplace();
    InFolderWithoutInput here(dir.path());
    for (std::size_t i = 0; i < std::size(names); ++i) {
      for (const std::filesystem::path& path : {std::filesystem::path(names[i]), dir.path() / names[i]}) {
        EXPECT_EQ(samples_of(clip_of(AudioInput::file(path))), tones[i])
            << path << (by_program ? " by the program" : " by the libraries");
      }
    }
  }
}

using Clock = std::chrono::steady_clock;

// A stop while the ffmpeg program decodes ends the program, with time for its clean-up (its whole process
// group), and the decode with Cancelled at once; the libraries' decode stops as well.
TEST(AudioFiles, AStopWhileAFileIsDecodedEndsTheDecodeAtOnceAsCancelled) {
  TempDir dir;
  testing::write_wav(dir.path() / "speech.wav", 16000, 1, test_tone(16000));
  {
    ProgramFolder bin;
    const auto cleaned = dir.path() / "cleaned";
    testing::write_script(bin.dir.path() / "ffmpeg", "PATH=/usr/bin:/bin\ntrap 'echo yes > " + cleaned.string() +
                                                         "; exit 1' TERM\nsleep 20 & wait $!\n");
    std::stop_source stop;
    Clock::time_point asked;
    std::jthread stopper([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      asked = Clock::now();
      stop.request_stop();
    });
    EXPECT_THROW(whole_clip(AudioInput::file(dir.path() / "speech.wav"), stop.get_token()), Cancelled);
    const auto ended = Clock::now();
    stopper.join();
    EXPECT_LT(std::chrono::duration<double>(ended - asked).count(), 1.0);
    EXPECT_EQ(testing::read_file(cleaned), "yes\n");
    EXPECT_TRUE(testing::descendants(::getpid()).empty());
  }
  ProgramFolder no_ffmpeg;
  std::stop_source stop;
  stop.request_stop();
  EXPECT_THROW(whole_clip(AudioInput::file(dir.path() / "speech.wav"), stop.get_token()), Cancelled);
  std::vector<AudioItem> items;
  items.push_back(AudioItem::file(dir.path() / "speech.wav"));
  auto g = chunks(AudioInput::stream(std::move(items)), std::nullopt, stop.get_token());
  EXPECT_THROW(g.next(), Cancelled);
}

TEST(AudioFiles, AStreamOfFilesDecodesEachAtItsPull) {
  TempDir dir;
  testing::write_wav(dir.path() / "one.wav", 16000, 1, {1, 2, 3});
  testing::write_wav(dir.path() / "two.wav", 16000, 1, {4, 5});
  std::vector<AudioItem> items;
  items.push_back(AudioItem::file(dir.path() / "one.wav"));
  items.push_back(AudioItem::file(dir.path() / "two.wav"));
  auto g = chunks(AudioInput::stream(std::move(items)));
  EXPECT_EQ(g.next(), s16_bytes({1, 2, 3}));
  std::filesystem::remove(dir.path() / "two.wav");  // gone before its pull: the failure shows there
  EXPECT_THROW(g.next(), FileNotFound);
}


// The ffmpeg program, run to make a test file; false when it failed.
bool made_by_ffmpeg(std::vector<std::string> args) {
  args.insert(args.begin(), {"/usr/bin/ffmpeg", "-nostdin", "-loglevel", "error", "-y"});
  const ProgramResult r = run_captured(args);
  if (r.status != 0) ADD_FAILURE() << r.err;
  return r.status == 0;
}

// An MP4 whose index (moov) comes after its data needs a decoder that can seek in the file: both roads can.
TEST(AudioFiles, AnMp4WithItsIndexAtTheEndDecodesByBothRoads) {
  TempDir dir;
  const std::string file = (dir.path() / "talk.m4a").string();
  ASSERT_TRUE(made_by_ffmpeg({"-f", "lavfi", "-i", "sine=frequency=300:sample_rate=44100:duration=1", "-c:a", "aac",
                              file}));
  const std::string bytes = testing::read_file(file);
  ASSERT_LT(bytes.find("mdat"), bytes.find("moov"));
  const Pcm by_program = clip_of(AudioInput::file(file));
  ProgramFolder no_ffmpeg;
  const Pcm by_library = clip_of(AudioInput::file(file));
  EXPECT_NEAR(static_cast<double>(by_program.size()), 32000.0, 2000.0);
  EXPECT_EQ(by_library.size(), by_program.size());
}

// A file whose content names other files or addresses (a playlist, a list of files) is refused with one line
// that says what it is, by both roads, and nothing it names is opened: not the private recording beside it
// (watched for any open), not the address (a socket that would take the connection).
TEST(AudioFiles, APlaylistOrAListOfFilesIsRefusedAndNothingItNamesIsOpened) {
  TempDir dir;
  const auto secret = dir.path() / "private" / "secret.wav";
  std::filesystem::create_directory(secret.parent_path());
  testing::write_wav(secret, 16000, 1, test_tone(8000));
  const Fd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener.get(), 8), 0);
  ASSERT_EQ(::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length), 0);
  const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/secret.ts";
  const std::string hls = "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:1\n#EXT-X-MEDIA-SEQUENCE:0\n";
  const std::pair<const char*, std::string> lists[] = {
      {"an HLS playlist", hls + "#EXTINF:0.5,\n" + secret.string() + "\n#EXT-X-ENDLIST\n"},
      {"an HLS playlist of addresses", hls + "#EXTINF:0.5,\n" + url + "\n#EXT-X-ENDLIST\n"},
      {"a concat list", "ffconcat version 1.0\nfile private/secret.wav\n"},
      {"a concat list by absolute name", "ffconcat version 1.0\nfile '" + secret.string() + "'\n"},
  };
  const Fd watch(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
  ASSERT_GE(::inotify_add_watch(watch.get(), secret.c_str(), IN_OPEN | IN_ACCESS), 0);
  const auto talk = dir.path() / "talk.wav";
  for (const bool by_program : {true, false}) {
    std::optional<ProgramFolder> no_ffmpeg;
    if (!by_program) no_ffmpeg.emplace();
    InFolderWithoutInput here(dir.path());
    for (const auto& [kind, text] : lists) {
      SCOPED_TRACE(std::string(kind) + (by_program ? " by the program" : " by the libraries"));
      testing::write_file(talk, text);
      try {
        const Pcm pcm = clip_of(AudioInput::file(talk));
        ADD_FAILURE() << "decoded " << pcm.size() << " bytes";
      } catch (const Failed& e) {
        EXPECT_STREQ(e.what(), "could not read that audio");
        EXPECT_TRUE(e.detail().text().starts_with(talk.string() + " is a playlist or a list of other files, not an "
                                                  "audio file"))
            << e.detail().text();
      }
    }
  }
  char events[4096];
  EXPECT_LT(::read(watch.get(), events, sizeof events), 0) << "the private recording was opened";
  EXPECT_LT(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC), 0) << "the address was fetched";
}

// A file without an audio stream says so in a line of ours, by both roads.
TEST(AudioFiles, AFileWithoutAnAudioStreamSaysSo) {
  TempDir dir;
  const std::string file = (dir.path() / "silent film.mp4").string();
  ASSERT_TRUE(made_by_ffmpeg({"-f", "lavfi", "-i", "testsrc=size=32x32:rate=5:duration=0.4", "-c:v", "mpeg4", file}));
  for (const bool by_program : {true, false}) {
    std::optional<ProgramFolder> no_ffmpeg;
    if (!by_program) no_ffmpeg.emplace();
    try {
      whole_clip(AudioInput::file(file));
      ADD_FAILURE() << "no Failed";
    } catch (const Failed& e) {
      EXPECT_STREQ(e.what(), "could not read that audio");
      EXPECT_EQ(e.detail().text(), "no audio stream in '" + file + "'") << by_program;
    }
  }
}

// Another process exchanges the audio's name with a FIFO's again and again while it is decoded in process:
// each decode reads the file or says that it got a FIFO, and none waits for a writer that never comes.
TEST(AudioFiles, AFifoSwappedInForTheAudioNeverHoldsTheDecodeUp) {
  TempDir dir;
  const auto talk = dir.path() / "talk.wav";
  const auto fifo = dir.path() / "fifo";
  const auto tone = test_tone(1600);
  testing::write_wav(talk, 16000, 1, tone);
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  ProgramFolder no_ffmpeg;
  std::atomic<bool> done{false}, held_up{false};
  std::jthread racer([&] {
    while (!done) ::renameat2(AT_FDCWD, talk.c_str(), AT_FDCWD, fifo.c_str(), RENAME_EXCHANGE);
  });
  // A decode that waits on the FIFO is let go by a writer that comes after a while, and counted.
  std::jthread watchdog([&](std::stop_token stop) {
    for (int i = 0; i < 200 && !stop.stop_requested(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    while (!stop.stop_requested()) {
      held_up = true;
      for (const auto& name : {talk, fifo}) {
        const int fd = ::open(name.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) ::close(fd);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  int files = 0, fifos = 0;
  for (int i = 0; i < 300; ++i) {
    try {
      EXPECT_EQ(samples_of(clip_of(AudioInput::file(talk))), tone);
      ++files;
    } catch (const FileNotFound& e) {
      EXPECT_EQ(e.what(), talk.string() + " is a FIFO, not an audio file");
      ++fifos;
    } catch (const Failed& e) {
      ADD_FAILURE() << e.what() << ": " << e.detail().text();
    }
  }
  done = true;
  racer.join();
  watchdog.request_stop();
  watchdog.join();
  EXPECT_FALSE(held_up) << "a decode waited on the FIFO";
  EXPECT_GT(files, 0);
  EXPECT_GT(fifos, 0);
}

// `check` in a forked test process once `prepare` has changed what only that process sees: its exit status, 0
// when `check` held and 77 when `prepare` cannot be done here.
int in_forked_process(const std::function<bool()>& prepare, const std::function<bool()>& check) {
  const pid_t tester = ::fork();
  if (tester < 0) return -1;
  if (tester == 0) {
    if (!prepare()) ::_exit(77);
    bool held = false;
    try {
      held = check();
    } catch (...) {
    }
    ::_exit(held ? 0 : 1);
  }
  int status = 0;
  if (::waitpid(tester, &status, 0) != tester) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Where the program's exit status cannot be known (an application that ignores SIGCHLD, on a system that keeps
// no exit status with the child), and where there is no /proc, through which the program reads the file we
// opened, the file is decoded in process, whatever the program wrote.
TEST(AudioFiles, WhereTheProgramsStatusCannotBeKnownOrThereIsNoProcTheFileIsDecodedInProcess) {
  TempDir dir;
  const auto tone = test_tone(4000);
  testing::write_wav(dir.path() / "speech.wav", 16000, 1, tone);
  ProgramFolder bin;
  testing::write_script(bin.dir.path() / "ffmpeg", "printf 'not what the file holds'\n");
  const auto decoded = [&] { return samples_of(clip_of(AudioInput::file(dir.path() / "speech.wav"))) == tone; };
  const auto unknown_status = [] {
    if (!testing::refuse_pidfds()) return false;
    ::signal(SIGCHLD, SIG_IGN);
    return true;
  };
  // A mount namespace of its own, where a tmpfs hides /proc.
  const auto no_proc = [] {
    return ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           ::mount("none", "/proc", "tmpfs", 0, nullptr) == 0;
  };
  const int without_status = in_forked_process(unknown_status, decoded);
  const int without_proc = in_forked_process(no_proc, decoded);
  if (without_status != 77) {
    EXPECT_EQ(without_status, 0) << "without an exit status";
  }
  if (without_proc != 77) {
    EXPECT_EQ(without_proc, 0) << "without /proc";
  }
  if (without_status == 77 && without_proc == 77) GTEST_SKIP() << "no seccomp filters and no mount namespaces here";
}

}  // namespace
}  // namespace velmora
