// The command line `velmora`: its usage and statuses in-process, and the program itself on a terminal, on
// pipes, under a file-size limit and interrupted.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/process.h"
#include "support/temp_dir.h"
#include "velmora/cli/command.h"
#include "velmora/outside/support/standin_avatars.h"
#include "velmora/support/scratch.h"

extern char** environ;

namespace velmora {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

const std::string PROGRAM = std::string(VELMORA_BIN_DIR) + "/velmora";

struct Ran {
  int status;
  std::string out, err;
};

// cli::run with its streams caught.
Ran run(const std::vector<std::string>& args) {
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  const int status = cli::run(args, {out, err, false});
  auto text = [](std::FILE* f) {
    std::string s(static_cast<std::size_t>(std::ftell(f)), '\0');
    std::rewind(f);
    s.resize(std::fread(s.data(), 1, s.size(), f));
    std::fclose(f);
    return s;
  };
  return {status, text(out), text(err)};
}

// A fixture avatar and a WAV file of `seconds` of tone in `dir`.
struct Scene {
  TempDir dir;
  std::string avatar, audio;
  explicit Scene(double seconds = 1.0, const std::string& size = "16 16") {
    avatar = dir.write("face.v1", "vantor1-fixture " + size + "\n");
    std::vector<std::int16_t> s(static_cast<std::size_t>(seconds * 16000));
    for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<std::int16_t>(8000 * std::sin(0.0864 * double(i)));
    audio = (dir.path() / "speech.wav").string();
    testing::write_wav(audio, 16000, 1, s);
  }
  std::string at(const std::string& name) const { return (dir.path() / name).string(); }
  // Names in the folder other than the avatar and the audio.
  std::vector<std::string> made() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir.path())) {
      const std::string n = e.path().filename().string();
      if (n != "face.v1" && n != "speech.wav") names.push_back(n);
    }
    return names;
  }
};

bool one_line(const std::string& text) { return !text.empty() && text.find('\n') == text.size() - 1; }

TEST(CommandLine, UsageFaultsAreStatus2WithOneLineAndHelpIsStatus0) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string says;  // the start of the one error line, or a part of the help
  };
  const Case cases[] = {
      {{}, 2, "velmora: no command given (see velmora --help)"},
      {{"paint", "a", "b"}, 2, "velmora: unknown command 'paint'"},
      {{"render"}, 2, "velmora: missing <avatar> and <audio>"},
      {{"render", "a"}, 2, "velmora: missing <audio>"},
      {{"render", "a", "b", "c"}, 2, "velmora: unexpected argument 'c'"},
      {{"render", "a", "b", "-o"}, 2, "velmora: -o needs a file name"},
      {{"render", "a", "b", "--output="}, 2, "velmora: --output needs a file name"},
      {{"render", "a", "b", "--loud"}, 2, "velmora: unknown option '--loud'"},
      {{"--help"}, 0, "usage: velmora render <avatar> <audio> [-o OUT.mp4] [--quiet]\n"},
      {{"render", "a", "--help"}, 0, "default: the audio's file name with .mp4, in the\n"},
  };
  for (const Case& c : cases) {
    const Ran r = run(c.args);
    SCOPED_TRACE(c.says);
    EXPECT_EQ(r.status, c.status);
    if (c.status == 0) {
      EXPECT_NE(r.out.find(c.says), std::string::npos) << r.out;
      EXPECT_EQ(r.err, "");
    } else {
      EXPECT_TRUE(r.err.starts_with(c.says)) << r.err;
      EXPECT_TRUE(one_line(r.err)) << r.err;
      EXPECT_EQ(r.out, "");
    }
  }
}

TEST(CommandLine, TheDefaultVideoIsTheAudiosNameWithMp4InTheWorkingFolder) {
  EXPECT_EQ(cli::default_output("speech.wav"), "speech.mp4");
  EXPECT_EQ(cli::default_output("/home/a/talk.take2.mp3"), "talk.take2.mp4");
  EXPECT_EQ(cli::default_output("clips/plain"), "plain.mp4");
}

TEST(CommandLine, ProgressLinesSayFramesAudioRateAndTimeLeft) {
  EXPECT_EQ(cli::progress_line({50, 2.0, 10.0, 4.0}), "velmora: 50 frames, 2.0 of 10.0 s audio, 12.5 fps, about 16 s left");
  EXPECT_EQ(cli::progress_line({1, 0.04, 600.0, 2.0}), "velmora: 1 frame, 0.0 of 600.0 s audio, 0.5 fps, about 8:19:58 left");
  EXPECT_EQ(cli::progress_line({25, 1.0, std::nullopt, 0.5}), "velmora: 25 frames, 1.0 s audio, 50.0 fps");
}

// `text` with every run of blanks and line breaks as one blank, so that the help's wrapping does not matter.
std::string words(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c != ' ' && c != '\n') out += c;
    else if (!out.empty() && out.back() != ' ') out += ' ';
  }
  return out;
}

TEST(CommandLine, TheHelpSaysWhatAnInterruptedRenderEndsByAndWhatTheVideoMayNotReplace) {
  const std::string help = words(run({"--help"}).out);
  EXPECT_NE(help.find("1 when the render fails, 2 for a wrong command line."), std::string::npos) << help;
  EXPECT_NE(help.find("SIGINT (Ctrl-C), SIGTERM or SIGHUP (its terminal closed), it removes its unfinished file, "
                      "leaves an existing one as it was, and ends by that signal, which a shell shows as status 130, "
                      "143 or 129."),
            std::string::npos)
      << help;
  EXPECT_NE(help.find("More of these signals while it stops (a closed terminal sends two, a second Ctrl-C) change "
                      "nothing: it still cleans up, within a fraction of a second, and ends by the first."),
            std::string::npos)
      << help;
  EXPECT_NE(help.find("A signal that comes once the finished video has been renamed onto its name cancels nothing"),
            std::string::npos)
      << help;
  EXPECT_NE(help.find("a FIFO, a device or a socket is refused"), std::string::npos) << help;
  EXPECT_NE(help.find("any name inside an avatar folder"), std::string::npos) << help;
  EXPECT_NE(help.find("a symbolic link keeps pointing at the new video"), std::string::npos) << help;
  EXPECT_NE(help.find("the time left once 2 s or a tenth of the audio have been rendered"), std::string::npos) << help;
}

TEST(CommandLine, TheTimeLeftShowsOnceThePaceSinceTheFirstReportMeansSomething) {
  const WriteProgress first{1, 0.04, 30.0, 3.0};  // after 3 s of start-up
  struct Case {
    WriteProgress since, now;
    const char* line;
  };
  const Case cases[] = {
      {first, first, "velmora: 1 frame, 0.0 of 30.0 s audio, 0.3 fps"},
      // Half a second and a little audio later: the pace is not known yet.
      {first, {10, 0.4, 30.0, 3.5}, "velmora: 10 frames, 0.4 of 30.0 s audio, 2.9 fps"},
      // Two seconds later: 1.2 s of audio in 2 s, so the 28.76 s still to come take 48 s; start-up is left out.
      {first, {31, 1.24, 30.0, 5.0}, "velmora: 31 frames, 1.2 of 30.0 s audio, 6.2 fps, about 48 s left"},
      // A tenth of the audio, however soon.
      {first, {101, 4.04, 30.0, 4.5}, "velmora: 101 frames, 4.0 of 30.0 s audio, 22.4 fps, about 10 s left"},
      {first, {751, 30.0, 30.0, 9.0}, "velmora: 751 frames, 30.0 of 30.0 s audio, 83.4 fps, about 0 s left"},
      // A stream has no total, so no estimate.
      {{1, 0.04, std::nullopt, 3.0}, {251, 10.04, std::nullopt, 9.0}, "velmora: 251 frames, 10.0 s audio, 27.9 fps"},
  };
  for (const Case& c : cases) EXPECT_EQ(cli::progress_line(c.now, c.since), c.line);
}

TEST(CommandLine, ErrorLinesNameWhatTheUserGaveAndFfmpegsCauseInPlainWords) {
  Scene s;
  // An MP3 tag over nothing: FFmpeg logs its cause with a "[mp3 @ 0x...]" prefix, the program ends its
  // standard error with a line break.
  const std::string tag = s.dir.write("tag.mp3", std::string("ID3\x03\0\0\0\0\0\0", 10) + std::string(5000, '\0'));
  // An MP4 cut short before its index: two lines of FFmpeg's, which stay apart.
  const std::string cut =
      s.dir.write("cut.mp4", std::string("\0\0\0\x18" "ftypmp42\0\0\0\0mp42isom", 24) + std::string(3000, 'x'));
  for (const bool with_program : {true, false}) {
    SCOPED_TRACE(with_program ? "the ffmpeg program" : "the FFmpeg libraries");
    TempDir no_programs;
    std::optional<testing::ScopedEnv> path;
    if (!with_program) path.emplace("PATH", no_programs.str());
    Ran r = run({"render", s.avatar, tag, "-o", s.at("o.mp4")});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.starts_with("velmora: could not read that audio (")) << r.err;
    EXPECT_NE(r.err.find("[mp3] Failed to read frame size: "), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find(" @ 0x"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find(" )"), std::string::npos) << r.err;
    EXPECT_TRUE(one_line(r.err)) << r.err;

    r = run({"render", s.avatar, cut, "-o", s.at("o.mp4")});
    const std::string moov = "[mov,mp4,m4a,3gp,3g2,mj2] moov atom not found";
    const std::string invalid = "Invalid data found when processing input";
    EXPECT_EQ(r.err, "velmora: could not read that audio (" +
                         (with_program ? moov + "; " + cut + ": " + invalid
                                       : "[Errno 1094995529] " + invalid + ": '" + cut + "'; " + moov) +
                         ")\n");
  }

  ASSERT_EQ(::mkfifo(s.at("fifo.mp4").c_str(), 0666), 0);
  // The avatar under a name the command line takes for a video.
  const std::string avatar_mp4 = s.at("face.mp4");
  ASSERT_EQ(::link(s.avatar.c_str(), avatar_mp4.c_str()), 0);
  // A folder avatar, and a video name that links to one of its files.
  s.dir.write("bundle/manifest.json", R"({"engine": "vantor2-light", "width": 16, "height": 16})");
  const std::string canon = s.dir.write("bundle/canon.bin", "canon");
  fs::create_symlink(canon, s.at("canon.mp4"));
  struct Case {
    std::vector<std::string> args;
    std::string line;
  };
  fs::create_directory(s.at("folder"));
  s.dir.write("folder/face.png", "not a manifest");
  fs::create_directory(s.at("empty"));
  const std::string no_avatar = "velmora: that is not a usable avatar (";
  const std::string no_manifest =
      "' is a folder without manifest.json: an avatar folder holds its manifest.json at the top)\n";
  const std::string neither =
      "' is neither an avatar archive (an IMX container or zip archive with a manifest.json) nor a fixture avatar (a "
      "file whose first line is \"vantor1-fixture <width> <height>\"))\n";
  const std::string big_fixture = s.dir.write("big.v1", "vantor1-fixture 16 16\n" + std::string(16384, '.'));
  const Case exact[] = {
      {{"render", s.at("folder"), s.audio}, no_avatar + "'" + s.at("folder") + no_manifest},
      {{"render", s.at("empty"), s.audio}, no_avatar + "'" + s.at("empty") + no_manifest},
      {{"render", tag, s.audio}, no_avatar + "'" + tag + neither},
      // Larger than a fixture may be, so told by how it starts: the audio where the avatar goes, and a fixture.
      {{"render", s.audio, s.audio}, no_avatar + "'" + s.audio + neither},
      {{"render", big_fixture, s.audio}, no_avatar + big_fixture + ": file is larger than 16384 bytes)\n"},
      {{"render", s.dir.write("cut.zip", std::string("PK\x03\x04\x14\0\0\0", 8)), s.audio},
       no_avatar + "'" + s.at("cut.zip") + neither},
      {{"render", s.avatar, s.audio, "-o", s.at("no/o.mp4")},
       "velmora: could not write that video (cannot create '" + s.at("no/o.mp4") + "': No such file or directory)\n"},
      {{"render", s.avatar, s.audio, "-o", s.at("fifo.mp4")},
       "velmora: could not write that video ('" + s.at("fifo.mp4") +
           "' is a FIFO, not a regular file: an MP4 needs a file it can seek in)\n"},
      {{"render", avatar_mp4, s.audio, "-o", avatar_mp4},
       "velmora: could not write that video ('" + avatar_mp4 + "' is the file of the avatar being rendered)\n"},
      {{"render", s.at("bundle"), s.audio, "-o", s.at("canon.mp4")},
       "velmora: could not write that video ('" + s.at("canon.mp4") + "' (a link to '" + canon +
           "') is inside the folder of the avatar being rendered, '" + s.at("bundle") + "')\n"},
  };
  for (const Case& c : exact) {
    const Ran r = run(c.args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, c.line);
  }
  std::vector<std::string> made = s.made();
  std::sort(made.begin(), made.end());
  EXPECT_EQ(made, (std::vector<std::string>{"big.v1", "bundle", "canon.mp4", "cut.mp4", "cut.zip", "empty", "face.mp4",
                                            "fifo.mp4", "folder", "tag.mp3"}));
  EXPECT_EQ(testing::read_file(canon), "canon");
}

TEST(CommandLine, ARenderIsStatus0AndAFailedOneStatus1WithOneLineAndNoFile) {
  Scene s;
  Ran r = run({"render", s.avatar, s.audio, "-o", s.at("talk.mp4")});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "velmora: wrote 25 frames to " + s.at("talk.mp4") + "\n");
  EXPECT_EQ(r.err, "");  // not a terminal: no progress
  EXPECT_GT(fs::file_size(s.at("talk.mp4")), 0u);
  fs::remove(s.at("talk.mp4"));

  const std::string voice = s.at("voice.mp4");  // the speech, under a name a video may have
  fs::copy_file(s.audio, voice);
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string says;
  };
  const Case failures[] = {
      {{"render", s.at("none.v1"), s.audio, "-o", s.at("o.mp4")}, 1, "velmora: no avatar at "},
      {{"render", s.dir.write("junk.bin", "junk"), s.audio, "-o", s.at("o.mp4")}, 1,
       "velmora: that is not a usable avatar"},
      {{"render", s.avatar, s.dir.write("noise.wav", "RIFF...."), "-o", s.at("o.mp4")}, 1,
       "velmora: could not read that audio ("},
      {{"render", s.avatar, s.audio, "-o", s.at("no/o.mp4")}, 1, "velmora: could not write that video (cannot create"},
      // The files refuse it, not the words: the library's refusal, as for the avatar's file.
      {{"render", s.avatar, voice, "-o", voice}, 1, "velmora: could not write that video ('" + voice + "' is the audio"},
  };
  for (const Case& c : failures) {
    r = run(c.args);
    SCOPED_TRACE(c.says);
    EXPECT_EQ(r.status, c.status);
    EXPECT_TRUE(r.err.starts_with(c.says)) << r.err;
    EXPECT_TRUE(one_line(r.err)) << r.err;
    EXPECT_EQ(r.out, "");
    for (const std::string& name : s.made()) {
      EXPECT_TRUE(name == "junk.bin" || name == "noise.wav" || name == "voice.mp4") << name;
    }
  }
}

// The video is always an MP4: any other name is a usage fault before anything is opened, and an .mp4 name is
// taken in any case.
TEST(CommandLine, AVideoNameThatDoesNotEndInMp4IsAUsageFault) {
  Scene s;
  const std::string refused = "velmora: the video is written as MP4, so its name must end in .mp4, not '";
  struct Case {
    std::vector<std::string> output;
    int status;
    std::string says;  // the start of standard error, or of standard output for a render
  };
  const Case cases[] = {
      {{"-o", s.at("talk.mkv")}, 2, refused + s.at("talk.mkv") + "' (see velmora --help)\n"},
      {{"--output=" + s.at("talk")}, 2, refused + s.at("talk") + "'"},
      {{"-o", s.at("talk.mp4.part")}, 2, refused + s.at("talk.mp4.part") + "'"},
      {{"-o", s.at(".mp4")}, 2, refused + s.at(".mp4") + "'"},
      {{"-o", s.at("Talk.MP4")}, 0, "velmora: wrote 25 frames to " + s.at("Talk.MP4")},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"render", s.avatar, s.audio};
    args.insert(args.end(), c.output.begin(), c.output.end());
    const Ran r = run(args);
    SCOPED_TRACE(c.says);
    EXPECT_EQ(r.status, c.status);
    if (c.status == 0) {
      EXPECT_TRUE(r.out.starts_with(c.says)) << r.out;
      fs::remove(s.at("Talk.MP4"));
    } else {
      EXPECT_TRUE(r.err.starts_with(c.says)) << r.err;
      EXPECT_TRUE(one_line(r.err)) << r.err;
    }
    EXPECT_EQ(s.made(), std::vector<std::string>{});
  }
}

// Without a LiteRT C library that the loader can find, a mirel-2 avatar cannot start: the error's message, not
// only its detail, names the library. The command line, the library and tarnhost run from a folder of their own,
// without the stand-in beside them.
TEST(CommandLine, AMirel2RenderWithoutLiteRTNamesTheLibraryItNeeds) {
  TempDir dir;
  for (const char* name : {"velmora", "libvelmora.so.1", "tarnhost", "shared_enc_dep.so"}) {
    fs::copy_file(fs::path(VELMORA_BIN_DIR) / name, dir.path() / name);
  }
  const std::string bundle = testing::mirel2_bundle().write_directory(dir.path() / "m2");
  testing::write_wav(dir.path() / "speech.wav", 16000, 1, testing::tone(1.0));
  const testing::ProcessResult r = testing::run_process(
      {(dir.path() / "velmora").string(), "render", bundle, (dir.path() / "speech.wav").string(), "-o",
       (dir.path() / "talk.mp4").string()},
      "", {.env = {{"LD_LIBRARY_PATH", std::nullopt}, {"VELMORA_CACHE_DIR", (dir.path() / "cache").string()}}});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.err.starts_with("velmora: could not start the renderer for that avatar: the LiteRT C library "
                                "libtensorflowlite_c.so could not be loaded: "))
      << r.err;
  EXPECT_TRUE(one_line(r.err)) << r.err;
  EXPECT_FALSE(fs::exists(dir.path() / "talk.mp4"));
}

struct TtyRun {
  int status = -1;       // exit status, or 128 + signal
  std::string terminal;  // what it wrote to its standard error, a terminal
};

// Runs `argv` with its standard error on a new terminal (stdin and stdout on /dev/null). `on_output` sees the
// terminal's text so far after every read, and may send the program a signal.
TtyRun run_on_terminal(const std::vector<std::string>& argv,
                       const std::function<void(pid_t, const std::string&)>& on_output = {}) {
  int master = -1, slave = -1;
  if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
  ::fcntl(master, F_SETFD, FD_CLOEXEC);
  ::fcntl(slave, F_SETFD, FD_CLOEXEC);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, slave, 2);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
  std::vector<std::string> copy = argv;
  std::vector<char*> args;
  for (auto& a : copy) args.push_back(a.data());
  args.push_back(nullptr);
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, args[0], &actions, &attr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  ::close(slave);
  TtyRun out;
  if (rc != 0) {
    ::close(master);
    throw std::runtime_error("cannot start " + argv[0]);
  }
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(master, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // EIO once the program has gone
    out.terminal.append(buf, static_cast<std::size_t>(n));
    if (on_output) on_output(pid, out.terminal);
  }
  ::close(master);
  int st = 0;
  while (::waitpid(pid, &st, 0) < 0 && errno == EINTR) {
  }
  out.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  return out;
}

TEST(CommandLine, ProgressGoesToATerminalOnlyAndNotWithQuiet) {
  Scene s(2.0);
  const TtyRun shown = run_on_terminal({PROGRAM, "render", s.avatar, s.audio, "-o", s.at("a.mp4")});
  EXPECT_EQ(shown.status, 0);
  EXPECT_TRUE(shown.terminal.starts_with("\rvelmora: 1 frame, 0.0 of 2.0 s audio, ")) << shown.terminal;
  EXPECT_NE(shown.terminal.find("\rvelmora: 50 frames, 2.0 of 2.0 s audio, "), std::string::npos) << shown.terminal;
  EXPECT_NE(shown.terminal.find(" left"), std::string::npos);

  const TtyRun quiet = run_on_terminal({PROGRAM, "render", s.avatar, s.audio, "-o", s.at("b.mp4"), "--quiet"});
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.terminal, "");

  const auto piped = testing::run_process({PROGRAM, "render", s.avatar, s.audio, "-o", s.at("c.mp4")}, "");
  EXPECT_EQ(piped.status, 0);
  EXPECT_EQ(piped.err, "");
  EXPECT_EQ(piped.out, "velmora: wrote 50 frames to " + s.at("c.mp4") + "\n");
}

TEST(CommandLine, AFileSizeLimitIsAFailureNotADeath) {
  Scene s(4.0);
  // `ulimit -f 8`: 8 blocks of at least 512 bytes, far below the video's size.
  const auto r = testing::run_process(
      {"/bin/sh", "-c", "ulimit -f 8 && exec \"$0\" render \"$1\" \"$2\" -o \"$3\"", PROGRAM, s.avatar, s.audio, s.at("o.mp4")},
      "");
  EXPECT_EQ(r.status, 1);  // not 128 + SIGXFSZ
  EXPECT_TRUE(r.err.starts_with("velmora: could not write that video (cannot write the MP4 container: cannot write '"))
      << r.err;
  EXPECT_NE(r.err.find("File too large"), std::string::npos) << r.err;
  EXPECT_TRUE(one_line(r.err));
  EXPECT_TRUE(s.made().empty());
}

TEST(CommandLine, AnInterruptedRenderRemovesItsFileAndEndsByTheSignal) {
  // Large frames and ten minutes of audio: still rendering when the first progress line comes.
  Scene s(600.0, "1280 720");
  bool sent = false;
  const TtyRun r = run_on_terminal({PROGRAM, "render", s.avatar, s.audio, "-o", s.at("o.mp4")},
                                   [&](pid_t pid, const std::string& text) {
                                     if (!sent && text.find(" frame") != std::string::npos) {
                                       ::kill(pid, SIGINT);
                                       sent = true;
                                     }
                                   });
  EXPECT_TRUE(sent);
  EXPECT_EQ(r.status, 128 + SIGINT);
  EXPECT_NE(r.terminal.find("velmora: the render was cancelled\r\n"), std::string::npos) << r.terminal;
  EXPECT_TRUE(s.made().empty());
}

// The library's warnings reach the terminal, each on a line of its own, except after an interrupt (the render then
// ends with the one line that says so; a one-shot command has no next render for a new host) and with --quiet.
// The render host is a fake that hangs mid-render or outlives its input, run by a copy of the library, which
// takes the host of its own folder.
TEST(CommandLine, TheLibrarysWarningsShowUnlessInterruptedOrQuiet) {
  TempDir dir;
  fs::copy_file(fs::path(VELMORA_BIN_DIR) / "libvelmora.so.1", dir.path() / "libvelmora.so.1");
  const std::string bundle = testing::mirel2_bundle().write_directory(dir.path() / "m2");
  const std::string audio = (dir.path() / "speech.wav").string();
  testing::write_wav(audio, 16000, 1, testing::tone(3.0));
  const testing::ScopedEnv library("LD_LIBRARY_PATH", dir.str());
  const testing::ScopedEnv cache("VELMORA_CACHE_DIR", (dir.path() / "cache").string());
  const std::string outlived =
      "\nvelmora: the render host was still running 0.5 s after its input closed; SIGTERM ended it\r\n";
  struct Case {
    const char* host_mode;
    std::vector<std::string> options;
    bool interrupt;
    int status;
    std::string ending;  // of what the terminal shows
  };
  const Case cases[] = {
      {"hang-after=2", {}, true, 128 + SIGINT, "\r\x1b[Kvelmora: the render was cancelled\r\n"},
      {"no-exit", {}, false, 0, outlived},
      {"no-exit", {"-q"}, false, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host_mode + (c.options.empty() ? "" : " " + c.options[0]));
    const std::string host = (dir.path() / "tarnhost").string();
    std::ofstream(host) << "#!/bin/sh\nFAKE_HOST_MODE=" << c.host_mode << " exec " << VELMORA_BIN_DIR
                        << "/fake_render_host \"$@\"\n";
    ::chmod(host.c_str(), 0755);
    std::vector<std::string> args = {PROGRAM, "render", bundle, audio, "-o", (dir.path() / "talk.mp4").string()};
    args.insert(args.end(), c.options.begin(), c.options.end());
    bool sent = false;
    const TtyRun r = run_on_terminal(args, [&](pid_t pid, const std::string& text) {
      if (c.interrupt && !sent && text.find(" frame") != std::string::npos) sent = ::kill(pid, SIGINT) == 0;
    });
    EXPECT_EQ(r.status, c.status) << r.terminal;
    EXPECT_TRUE(r.terminal.ends_with(c.ending)) << r.terminal;
    // Progress is redrawn in place: the whole lines are the last progress, the library's and the error's.
    const std::size_t lines = static_cast<std::size_t>(std::count(r.terminal.begin(), r.terminal.end(), '\n'));
    EXPECT_EQ(lines, c.options.empty() ? (c.interrupt ? 1u : 2u) : 0u) << r.terminal;
    fs::remove(dir.path() / "talk.mp4");
  }
}

// The stop signals are taken by one thread, one at a time: the first one taken is the one that counts, and a
// later one, of another kind too, changes nothing.
TEST(CommandLine, ASignalCountsOnceItsHandlerHasRun) {
  {
    std::stop_source stop;
    cli::SignalStop signals(stop);
    ::kill(::getpid(), SIGTERM);
    for (int i = 0; i < 5000 && !stop.stop_requested(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(stop.stop_requested());
    EXPECT_EQ(signals.caught(), SIGTERM);
    ::kill(::getpid(), SIGHUP);
    ::kill(::getpid(), SIGINT);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(signals.caught(), SIGTERM);
  }
  // A SignalStop that caught a signal leaves its handler and the signals held off, as the program then ends;
  // this process goes on to other tests when run by hand, which their children would inherit.
  sigset_t stops;
  sigemptyset(&stops);
  for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
    ::signal(sig, SIG_DFL);
    sigaddset(&stops, sig);
  }
  ::pthread_sigmask(SIG_UNBLOCK, &stops, nullptr);
}

// Starts `argv` with its standard input on /dev/null and its standard output and error into the files `out`
// and `err`; `env` is set over this process's environment. Returns its process id.
pid_t spawn_into_files(const std::vector<std::string>& argv, const std::string& out, const std::string& err,
                       const std::vector<std::string>& env = {}) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<std::string> copy = argv, vars = env;
  for (char** e = environ; *e; ++e) {
    const std::string var = *e;
    const bool replaced = std::any_of(env.begin(), env.end(), [&](const std::string& v) {
      return var.compare(0, v.find('=') + 1, v, 0, v.find('=') + 1) == 0;
    });
    if (!replaced) vars.push_back(var);
  }
  std::vector<char*> args, envp;
  for (auto& a : copy) args.push_back(a.data());
  args.push_back(nullptr);
  for (auto& v : vars) envp.push_back(v.data());
  envp.push_back(nullptr);
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + argv[0]);
  return pid;
}

// Whether the process `pid` holds an unnamed file that is being written.
bool writes_an_unnamed_file(pid_t pid) {
  std::error_code ec;
  for (const auto& e : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
    if (fs::read_symlink(e.path(), ec).string().ends_with(" (deleted)") && fs::file_size(e.path(), ec) > 0) {
      return true;
    }
  }
  return false;
}

// Signals sent one after the other with a pause between them: a closed terminal under a shell sends SIGHUP
// twice 1 ms apart (the shell forwards one to its job, the kernel hangs up the job's group); an impatient user
// presses Ctrl-C twice; a supervisor sends SIGTERM and a terminal closes.
struct Sequence {
  int first, second;
  int apart_ms;
};
constexpr Sequence REPEATS[] = {
    {SIGHUP, SIGHUP, 1}, {SIGTERM, SIGHUP, 1}, {SIGINT, SIGINT, 1}, {SIGINT, SIGINT, 30}, {SIGHUP, SIGINT, 1}};

std::string sequence_text(const Sequence& q) {
  return std::string(sigabbrev_np(q.first)) + " then " + sigabbrev_np(q.second) + " " +
         std::to_string(q.apart_ms) + " ms later";
}

// Whether `sig` waits for any thread of `pid` to take it (the process's pending set or a thread's).
bool pending(pid_t pid, int sig) {
  const auto in = [sig](const fs::path& status, const std::string& field) {
    std::ifstream file(status);
    for (std::string line; std::getline(file, line);) {
      if (line.starts_with(field)) return (std::stoull(line.substr(field.size()), nullptr, 16) >> (sig - 1) & 1) != 0;
    }
    return false;
  };
  const fs::path proc = "/proc/" + std::to_string(pid);
  std::error_code ec;
  if (in(proc / "status", "ShdPnd:")) return true;
  for (const auto& task : fs::directory_iterator(proc / "task", ec)) {
    if (in(task.path() / "status", "SigPnd:")) return true;
  }
  return false;
}

// A render killed with SIGKILL leaves nothing where the file system has unnamed files. Where it has none
// (O_TMPFILE refused), it leaves its temporary, readable by its owner only, and the next write into the folder
// removes it.
TEST(CommandLine, AKilledRenderLeavesNothingOrATemporaryThatTheNextWriteRemoves) {
  for (const bool named : {false, true}) {
    SCOPED_TRACE(named ? "without unnamed files" : "with unnamed files");
    Scene s(600.0, "1280 720");
    TempDir logs;
    const char* asan = std::getenv("ASAN_OPTIONS");
    std::vector<std::string> env;
    if (named) {
      env = {"LD_PRELOAD=" + std::string(VELMORA_BIN_DIR) + "/no_tmpfile.so",
             std::string("ASAN_OPTIONS=") + (asan ? std::string(asan) + ":" : "") + "verify_asan_link_order=0"};
    }
    const std::string progress = (logs.path() / "err").string();
    const pid_t pid = spawn_into_files({PROGRAM, "render", s.avatar, s.audio, "-o", s.at("o.mp4")},
                                       (logs.path() / "out").string(), progress, env);
    // Killed once the video is being written: the first frame is in its file.
    bool writing = false;
    for (int i = 0; i < 3000 && !writing; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      const std::vector<std::string> left = s.made();
      struct stat st {};
      writing = named ? left.size() == 1 && ::stat(s.at(left[0]).c_str(), &st) == 0 && st.st_size > 0
                      : writes_an_unnamed_file(pid);
    }
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(writing);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    const std::vector<std::string> left = s.made();
    if (!named) {
      EXPECT_EQ(left, std::vector<std::string>{});
      continue;
    }
    ASSERT_EQ(left.size(), 1u);
    EXPECT_TRUE(left[0].starts_with(".o.mp4.") && left[0].ends_with(".part")) << left[0];
    EXPECT_EQ(fs::status(s.at(left[0])).permissions(), fs::perms(0600));

    testing::write_wav(s.at("hello.wav"), 16000, 1, std::vector<std::int16_t>(3200, 1000));
    const auto next =
        testing::run_process({PROGRAM, "render", s.avatar, s.at("hello.wav"), "-o", s.at("hello.mp4")}, "");
    EXPECT_EQ(next.status, 0) << next.err;
    std::vector<std::string> now = s.made();
    std::sort(now.begin(), now.end());
    EXPECT_EQ(now, (std::vector<std::string>{"hello.mp4", "hello.wav"}));
  }
}

// Sends the first signal, and the second `apart_ms` after a thread of `pid` has taken the first: signals that
// wait together reach a process in no order it could see (the kernel keeps them as a set), so which came first
// means which was taken first.
void send_twice(pid_t pid, const Sequence& q) {
  ::kill(pid, q.first);
  for (int i = 0; i < 100000 && pending(pid, q.first); ++i) std::this_thread::sleep_for(std::chrono::microseconds(100));
  std::this_thread::sleep_for(std::chrono::milliseconds(q.apart_ms));
  ::kill(pid, q.second);
}

// Ctrl-C or SIGTERM while the render host loads its model (a 5 s load, the signal 0.8 s after the host
// started) ends the command within a second of the signal, by that signal, with the cancel line alone, no
// file, and no host left; so does a second signal after it (then the first counts).
TEST(CommandLine, ASignalWhileTheHostStartsEndsTheCommandByItWithinASecond) {
  ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);  // a host left behind becomes ours, and is seen
  std::vector<Sequence> sequences = {{SIGINT, 0, 0}, {SIGTERM, 0, 0}};
  sequences.insert(sequences.end(), std::begin(REPEATS), std::end(REPEATS));
  for (const Sequence& q : sequences) {
    const int sig = q.first;
    SCOPED_TRACE(q.second ? sequence_text(q) : sigabbrev_np(sig));
    TempDir dir;
    const std::string bundle = testing::mirel2_bundle(5).write_directory(dir.path() / "m2");
    testing::write_wav(dir.path() / "speech.wav", 16000, 1, testing::tone(1.0));
    const std::string err = (dir.path() / "err.txt").string();
    const pid_t pid = spawn_into_files({PROGRAM, "render", bundle, (dir.path() / "speech.wav").string(), "-o",
                                        (dir.path() / "o.mp4").string()},
                                       "/dev/null", err);
    for (int i = 0; i < 3000 && testing::descendants(pid).empty(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_FALSE(testing::descendants(pid).empty());
    std::this_thread::sleep_for(std::chrono::milliseconds(800));  // the host is loading its model
    const auto sent = std::chrono::steady_clock::now();
    if (q.second) {
      send_twice(pid, q);
    } else {
      ::kill(pid, sig);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - sent).count();
    std::printf("signal while the host starts to the end of velmora: %.3f s\n", took);
    EXPECT_LT(took, 1.0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << status;
    EXPECT_EQ(testing::read_file(err), "velmora: opening the avatar was cancelled\n");
    EXPECT_FALSE(fs::exists(dir.path() / "o.mp4"));
    EXPECT_TRUE(testing::descendants(::getpid()).empty());
  }
}

// Ctrl-C or SIGTERM 1.5 s into the decode of an audio file (an ffmpeg that takes 20 s and cleans up on SIGTERM)
// ends the command within a second of the signal, by that signal, with the decoder's clean-up done and no file.
TEST(CommandLine, ASignalWhileTheAudioIsDecodedEndsTheCommandByItWithinASecond) {
  for (const int sig : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(sig == SIGINT ? "SIGINT" : "SIGTERM");
    Scene scene;
    TempDir bin;
    testing::write_script(bin.path() / "ffmpeg", "trap 'echo yes > " + scene.at("cleaned") +
                                                     "; exit 1' TERM\nsleep 20 & wait $!\n");
    const testing::ScopedEnv path("PATH", bin.str() + ":" + std::getenv("PATH"));
    const std::string err = scene.at("err.txt");
    const pid_t pid =
        spawn_into_files({PROGRAM, "render", scene.avatar, scene.audio, "-o", scene.at("o.mp4")}, "/dev/null", err);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    ASSERT_FALSE(testing::descendants(pid).empty());  // the decoder runs
    const auto sent = std::chrono::steady_clock::now();
    ::kill(pid, sig);
    int status = 0;
    ::waitpid(pid, &status, 0);
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - sent).count();
    std::printf("signal while the audio is decoded to the end of velmora: %.3f s\n", took);
    EXPECT_LT(took, 1.5);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << status;
    EXPECT_EQ(testing::read_file(err), "velmora: the render was cancelled\n");
    EXPECT_EQ(testing::read_file(scene.at("cleaned")), "yes\n");
    std::vector<std::string> made = scene.made();
    std::sort(made.begin(), made.end());
    EXPECT_EQ(made, (std::vector<std::string>{"cleaned", "err.txt"}));
  }
}

// A supervisor that ignores SIGCHLD passes that on to the programs it starts; the command renders all the same.
TEST(CommandLine, ACommandStartedWithSigchldIgnoredRendersAWav) {
  Scene s;
  const auto r = testing::run_process(
      {"/usr/bin/env", "--ignore-signal=CHLD", PROGRAM, "render", s.avatar, s.audio, "-o", s.at("talk.mp4")}, "");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "velmora: wrote 25 frames to " + s.at("talk.mp4") + "\n");
  EXPECT_EQ(r.err, "");
}

// Waits (at most a minute) for `path` to exist.
bool appears(const std::string& path) {
  for (int i = 0; i < 6000; ++i) {
    if (fs::exists(path)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// SIGINT while the video's commit waits for a slow disk: up to the rename (the video's own fsync) it keeps the
// earlier file, with the cancel line and the signal; once the video is renamed (its folder's fsync) the command
// has written it, with the success line and status 0. Never the one's line with the other's file. A second
// signal (a closed terminal's second SIGHUP) changes neither.
TEST(CommandLine, ASignalDuringASlowCommitEitherKeepsTheOldFileOrWritesTheNewOneAndSaysWhich) {
  struct Case {
    const char* slow;  // which fsync is slow
    bool written;
    int second;  // a signal 1 ms after the SIGINT, or 0
  };
  for (const Case& c : {Case{"file", false, 0}, Case{"folder", true, 0}, Case{"file", false, SIGHUP},
                        Case{"folder", true, SIGHUP}, Case{"file", false, SIGINT}}) {
    SCOPED_TRACE(std::string("slow fsync of the ") + c.slow + (c.second ? " and a second signal" : ""));
    Scene s;
    TempDir logs;
    const std::string out = s.dir.write("out.mp4", "an earlier video");
    const std::string mark = (logs.path() / "syncing").string();
    const char* asan = std::getenv("ASAN_OPTIONS");
    const pid_t pid = spawn_into_files(
        {PROGRAM, "render", s.avatar, s.audio, "-o", out}, (logs.path() / "out").string(),
        (logs.path() / "err").string(),
        {"LD_PRELOAD=" + std::string(VELMORA_BIN_DIR) + "/slow_fsync.so",
         // The sanitizers' run-time comes second then, which is what this check is about.
         std::string("ASAN_OPTIONS=") + (asan ? std::string(asan) + ":" : "") + "verify_asan_link_order=0",
         std::string("SLOW_FSYNC_ON=") + c.slow, "SLOW_FSYNC_SECONDS=1.5", "SLOW_FSYNC_MARK=" + mark});
    const bool syncing = appears(mark);
    if (c.second) {
      send_twice(pid, {SIGINT, c.second, 1});
    } else {
      ::kill(pid, SIGINT);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(syncing);
    const std::string said = testing::read_file(logs.path() / "out"), err = testing::read_file(logs.path() / "err");
    if (c.written) {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << " " << err;
      EXPECT_EQ(said, "velmora: wrote 25 frames to " + out + "\n");
      EXPECT_EQ(err, "");
      EXPECT_EQ(testing::read_file(out).substr(4, 4), "ftyp");
    } else {
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
      EXPECT_EQ(said, "");
      EXPECT_EQ(err, "velmora: the render was cancelled\n");
      EXPECT_EQ(testing::read_file(out), "an earlier video");
    }
    EXPECT_EQ(s.made(), std::vector<std::string>{"out.mp4"});
  }
}

// What the terminal `master` shows up to the first progress line (or until it is closed).
std::string read_until_progress(int master) {
  std::string terminal;
  char buf[4096];
  while (terminal.find(" frame") == std::string::npos) {
    const ssize_t n = ::read(master, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    terminal.append(buf, static_cast<std::size_t>(n));
  }
  return terminal;
}

// Closing the terminal (SIGHUP) ends a render as SIGINT does: no unfinished file, and ended by the signal.
TEST(CommandLine, ClosingTheTerminalRemovesTheUnfinishedFileAndEndsBySighup) {
  Scene s(600.0, "1280 720");  // still rendering when the first progress line comes
  int master = -1;
  const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);  // the terminal becomes the child's own
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::execl(PROGRAM.c_str(), PROGRAM.c_str(), "render", s.avatar.c_str(), s.audio.c_str(), "-o",
            s.at("o.mp4").c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  const std::string terminal = read_until_progress(master);
  ::close(master);  // the terminal hangs up
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_NE(terminal.find(" frame"), std::string::npos) << terminal;
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGHUP) << status;
  EXPECT_EQ(s.made(), std::vector<std::string>{});
}

// A repeated stop signal mid-render is the same stop: cancelled once, no unfinished file, and the end is by the
// first signal. (While the host starts, during the unpack and during the commit: with those tests.)
TEST(CommandLine, ARepeatedStopSignalIsTheSameStopAndEndsByTheFirst) {
  for (const Sequence& q : REPEATS) {
    SCOPED_TRACE(sequence_text(q));
    Scene s(20.0, "1280 720");  // still rendering when the first progress line comes
    bool sent = false;
    const TtyRun r = run_on_terminal({PROGRAM, "render", s.avatar, s.audio, "-o", s.at("o.mp4")},
                                     [&](pid_t pid, const std::string& text) {
                                       if (!sent && text.find(" frame") != std::string::npos) {
                                         send_twice(pid, q);
                                         sent = true;
                                       }
                                     });
    EXPECT_TRUE(sent);
    EXPECT_EQ(r.status, 128 + q.first) << r.terminal;
    EXPECT_TRUE(r.terminal.ends_with("\r\x1b[Kvelmora: the render was cancelled\r\n")) << r.terminal;
    EXPECT_EQ(s.made(), std::vector<std::string>{});
  }
}

// The parent of `pid`, as /proc shows it; -1 when it has gone.
pid_t parent_of(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  std::getline(in, stat);
  const std::size_t end = stat.rfind(')');
  if (end == std::string::npos) return -1;
  char state = 0;
  int parent = -1;
  return std::sscanf(stat.c_str() + end + 1, " %c %d", &state, &parent) == 2 ? parent : -1;
}

// A shell quoting of `word` for a command line typed into an interactive shell.
std::string shell_word(const std::string& word) {
  std::string out = "'";
  for (const char c : word) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Closing a terminal as users do: the command runs under a shell in a terminal whose other end is then closed.
// An interactive shell (job control: the command is a job of its own in the foreground) forwards the hang-up
// to its job and then ends, and the kernel hangs up the job again: two SIGHUPs. A shell without job control
// ends by the hang-up, and the kernel hangs up the command with it. Either way: ended by SIGHUP, no unfinished
// file, nothing left running. For the program and for the Python module's command.
TEST(CommandLine, ClosingTheTerminalOfAShellRemovesTheUnfinishedFileAndEndsBySighup) {
  ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);  // the command outlives its shell, and becomes ours
  const std::string python = std::string(VELMORA_SOURCE_DIR) + "/scripts/python";
  const std::string build = fs::path(VELMORA_BIN_DIR).parent_path().string();
  const std::vector<std::string> programs[] = {{PROGRAM}, {python, build, "-m", "velmora"}};
  for (const std::vector<std::string>& program : programs) {
    for (const bool interactive : {true, false}) {
      SCOPED_TRACE(program.back() + (interactive ? " under bash -i" : " under sh -c"));
      Scene s(20.0, "1280 720");  // still rendering when the first progress line comes
      std::string command;
      for (const std::string& word : program) command += shell_word(word) + " ";
      command += "render " + shell_word(s.avatar) + " " + shell_word(s.audio) + " -o " + shell_word(s.at("o.mp4"));
      int master = -1;
      const pid_t shell = ::forkpty(&master, nullptr, nullptr, nullptr);
      ASSERT_GE(shell, 0);
      if (shell == 0) {
        if (interactive) {
          ::execl("/bin/bash", "bash", "--norc", "--noprofile", "-i", static_cast<char*>(nullptr));
        } else {
          // The shell waits for the command (it is not the last one), so the command is not the shell itself.
          ::execl("/bin/sh", "sh", "-c", (command + "; echo ended").c_str(), static_cast<char*>(nullptr));
        }
        ::_exit(127);
      }
      if (interactive) {
        const std::string typed = command + "\n";
        ASSERT_EQ(::write(master, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
      }
      const std::string terminal = read_until_progress(master);  // not the echo of the typed command
      ASSERT_NE(terminal.find(" frame"), std::string::npos) << terminal;
      pid_t velmora = -1;  // the shell's child
      for (const pid_t pid : testing::descendants(shell)) {
        if (parent_of(pid) == shell) velmora = pid;
      }
      ASSERT_GT(velmora, 0);
      ::close(master);  // the terminal hangs up
      // Every process below is ours to wait for once the shell has gone; the command's status is kept.
      int status = -1;
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
      for (;;) {
        int st = 0;
        const pid_t ended = ::waitpid(-1, &st, WNOHANG);
        if (ended == velmora) status = st;
        if (ended < 0 || std::chrono::steady_clock::now() > deadline) break;
        if (ended == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      EXPECT_TRUE(status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == SIGHUP) << status;
      EXPECT_EQ(s.made(), std::vector<std::string>{});
      EXPECT_TRUE(testing::descendants(::getpid()).empty());
    }
  }
}

}  // namespace
}  // namespace velmora
