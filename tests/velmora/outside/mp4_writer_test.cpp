// Avatars rendered into MP4 files through the package's writer, read back with libavformat; and renders
// that fail, which must leave nothing behind.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <stop_token>
#include <thread>

#include "common/utf8.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "velmora/open.hpp"
#include "velmora/outside/mp4_output.h"
#include "velmora/outside/support/mp4_probe.h"
#include "velmora/outside/support/standin_avatars.h"
#include "velmora/session.hpp"
#include "velmora/support/fake_engine.h"
#include "velmora/support/outcome.h"
#include "velmora/support/scratch.h"

namespace velmora {
namespace {

namespace fs = std::filesystem;
using testing::attempt;
using testing::dead_pid;
using testing::Outcome;
using testing::ScopedEnv;
using testing::TempDir;
using testing::tone;

// The least luma PSNR of the first decoded pictures against the rendered frames at the default quality.
constexpr double MIN_PSNR_DB = 35.0;

std::set<std::string> files_in(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
  return names;
}

std::span<const std::int16_t> view(const std::vector<std::int16_t>& s) { return s; }

struct AvatarCase {
  const char* name;
  std::function<std::string(const TempDir&)> make;  // writes the avatar, returns its path
  // The audio in one of its forms; `samples` are also written to dir/speech.wav.
  std::function<AudioInput(const TempDir&, const std::vector<std::int16_t>& samples)> audio;
  double seconds;
  double fps;
  int width, height;  // of the video
};

const AvatarCase AVATARS[] = {
    {"mirel2 through tarnhost, audio file",
     [](const TempDir& d) { return testing::mirel2_bundle().write_directory(d.path() / "m2"); },
     [](const TempDir& d, const std::vector<std::int16_t>&) { return AudioInput::file(d.path() / "speech.wav"); },
     3.0, 20, 416, 720},
    {"session, a stream of items",
     [](const TempDir& d) {
       return d.write("light/manifest.json", R"({"engine": "vantor2-light", "width": 96, "height": 64})"),
              (d.path() / "light").string();
     },
     [](const TempDir&, const std::vector<std::int16_t>& s) {
       std::vector<AudioItem> items;
       for (std::size_t at = 0; at < s.size(); at += 7000) {
         items.push_back(AudioItem::samples(view(s).subspan(at, std::min<std::size_t>(7000, s.size() - at))));
       }
       return AudioInput::stream(std::move(items));
     },
     2.0, session::FPS, 96, 64},
    {"fixture of odd size, samples",
     [](const TempDir& d) { return d.write("face.v1", "vantor1-fixture 33 17\n"); },
     [](const TempDir&, const std::vector<std::int16_t>& s) { return AudioInput::samples(view(s)); },
     1.5, 25, 32, 16},
};

TEST(Mp4Writer, EachFamilyGivesH264AtTheEngineRateWithEveryFrameAndTheAudioAsAac) {
  for (const AvatarCase& c : AVATARS) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    ScopedEnv cache("VELMORA_CACHE_DIR", dir.str() + "/cache");
    const auto samples = tone(c.seconds);
    testing::write_wav(dir.path() / "speech.wav", 16000, 1, samples);
    const std::string path = c.make(dir);
    std::vector<Frame> rendered;
    for (const Frame& f : open(path).render(c.audio(dir, samples))) rendered.push_back(f);
    // A fresh avatar for the video: some engines carry audio over from one render to the next.
    Avatar avatar = open(path);

    const std::string out = (dir.path() / "out.mp4").string();
    std::vector<WriteProgress> reports;
    const std::int64_t written =
        avatar.render(c.audio(dir, samples), out, {}, [&](const WriteProgress& p) { reports.push_back(p); });
    EXPECT_EQ(written, static_cast<std::int64_t>(rendered.size()));

    const testing::Mp4Probe p = testing::probe_mp4(out);
    EXPECT_EQ(p.video_codec, "h264");
    EXPECT_EQ(p.pixel_format, "yuv420p");
    EXPECT_EQ(p.width, c.width);
    EXPECT_EQ(p.height, c.height);
    EXPECT_DOUBLE_EQ(p.fps, c.fps);
    EXPECT_EQ(p.frames, written);
    EXPECT_EQ(p.audio_codec, "aac");
    EXPECT_EQ(p.sample_rate, 16000);
    EXPECT_EQ(p.channels, 1);
    EXPECT_NEAR(p.audio_seconds, c.seconds, 1 / c.fps);
    EXPECT_EQ(p.video_start, 0);
    EXPECT_EQ(p.audio_start, 0);
    ASSERT_EQ(p.lumas.size(), 3u);
    for (std::size_t i = 0; i < p.lumas.size(); ++i) {
      EXPECT_GE(testing::luma_psnr(rendered[i], p.lumas[i], p.width, p.height), MIN_PSNR_DB) << "picture " << i;
    }

    ASSERT_EQ(reports.size(), rendered.size());
    EXPECT_EQ(reports.back().frames, written);
    if (std::string(c.name).find("stream") != std::string::npos) {
      EXPECT_DOUBLE_EQ(reports.back().seconds, static_cast<double>(written) / c.fps);
      EXPECT_FALSE(reports.back().total_seconds);
    } else {
      // The video's seconds, never past the audio's (a mirel-2 video runs one frame longer than its speech).
      EXPECT_DOUBLE_EQ(reports.back().seconds, std::min(static_cast<double>(written) / c.fps, c.seconds));
      EXPECT_EQ(reports.back().total_seconds, c.seconds);
      for (const WriteProgress& r : reports) EXPECT_LE(r.seconds, *r.total_seconds);
    }
    // Nothing beside the video is left in its folder.
    for (const std::string& name : files_in(dir.path())) EXPECT_EQ(name.find(".part"), std::string::npos) << name;
    avatar.close();
  }
}

TEST(Mp4Writer, AnExistingFileIsReplacedOnlyByAFinishedVideo) {
  TempDir dir;
  Avatar avatar = open(dir.write("face.v1", "vantor1-fixture 16 16\n"));
  const std::string out = dir.write("talk.mp4", "an earlier video");
  const auto samples = tone(1.0);
  EXPECT_EQ(attempt([&] { avatar.render(AudioInput::file(dir.write("bad.wav", "not audio")), out); }).kind, "Failed");
  EXPECT_EQ(testing::read_file(out), "an earlier video");
  EXPECT_EQ(avatar.render(AudioInput::samples(view(samples)), out), 25);
  EXPECT_EQ(testing::probe_mp4(out).frames, 25);
  EXPECT_EQ(files_in(dir.path()), (std::set<std::string>{"bad.wav", "face.v1", "talk.mp4"}));
}

// An avatar on the scriptable engine (its frames are too small for video: 1 x 8 grey).
Avatar fake_avatar(testing::EngineScript script) {
  script.fps = 25;
  return Avatar(std::make_unique<testing::FakeEngine>(std::move(script)), "vantor2-light");
}

TEST(Mp4Writer, AFailedRenderLeavesNoFileAndGivesItsError) {
  struct Case {
    const char* name;
    std::function<Outcome(const TempDir&)> run;
    Outcome expected;  // the kind, the start of the message, a part of the detail
  };
  const auto clip = [] { return AudioInput::pcm(Pcm(32000)); };
  const auto write = [](Avatar avatar, AudioInput audio, const fs::path& out) {
    return attempt([&] { avatar.render(std::move(audio), out); });
  };
  const auto with = [](std::exception_ptr e, bool at_call) {
    testing::EngineScript s;
    (at_call ? s.on_call : s.on_frame) = std::move(e);
    return fake_avatar(std::move(s));
  };
  const Case cases[] = {
      {"audio that cannot be decoded",
       [&](const TempDir& d) {
         return write(open(d.write("f.v1", "vantor1-fixture 8 8\n")), AudioInput::file(d.write("x.wav", "RIFF?")),
                      d.path() / "o.mp4");
       },
       {"Failed", "could not read that audio", "", ""}},
      {"audio file missing",
       [&](const TempDir& d) {
         return write(open(d.write("f.v1", "vantor1-fixture 8 8\n")), AudioInput::file(d.path() / "none.wav"),
                      d.path() / "o.mp4");
       },
       {"FileNotFound", "no audio at ", "", ""}},
      {"avatar refused by its engine",
       [&](const TempDir& d) {
         return write(with(std::make_exception_ptr(InvalidAvatar("that is not a usable avatar")), true), clip(),
                      d.path() / "o.mp4");
       },
       {"InvalidAvatar", "that is not a usable avatar", "", ""}},
      {"engine unavailable",
       [&](const TempDir& d) {
         return write(with(std::make_exception_ptr(session::EngineUnavailable("no runtime", Detail("gpu"))), false),
                      clip(), d.path() / "o.mp4");
       },
       {"NotSupported", "no runtime", "gpu", ""}},
      {"closed avatar",
       [&](const TempDir& d) {
         Avatar a = open(d.write("f.v1", "vantor1-fixture 8 8\n"));
         a.close();
         return write(std::move(a), clip(), d.path() / "o.mp4");
       },
       {"Failed", "this avatar is closed", "", ""}},
      {"frames video cannot take",
       [&](const TempDir& d) { return write(fake_avatar({}), clip(), d.path() / "o.mp4"); },
       {"Failed", detail::WRITE_FAILED, "a frame of 1 x 8 x 1 is not a size video can take", ""}},
      {"output folder missing",
       [&](const TempDir& d) {
         return write(open(d.write("f.v1", "vantor1-fixture 8 8\n")), clip(), d.path() / "no" / "o.mp4");
       },
       {"Failed", detail::WRITE_FAILED, "No such file or directory", ""}},
      {"output folder is a file",
       [&](const TempDir& d) {
         return write(open(d.write("f.v1", "vantor1-fixture 8 8\n")), clip(), d.write("plain", "") + "/o.mp4");
       },
       {"Failed", detail::WRITE_FAILED, "Not a directory", ""}},
      {"output is a folder",
       [&](const TempDir& d) {
         fs::create_directory(d.path() / "o.mp4");
         return write(open(d.write("f.v1", "vantor1-fixture 8 8\n")), clip(), d.path() / "o.mp4");
       },
       {"Failed", detail::WRITE_FAILED, "is a folder", ""}},
      {"progress hook throws",
       [&](const TempDir& d) {
         Avatar a = open(d.write("f.v1", "vantor1-fixture 8 8\n"));
         return attempt([&] {
           a.render(clip(), d.path() / "o.mp4", {}, [](const WriteProgress& p) {
             if (p.frames == 3) throw std::runtime_error("enough");
           });
         });
       },
       {"runtime_error", "enough", "", ""}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const Outcome got = c.run(dir);
    EXPECT_EQ(got.kind, c.expected.kind);
    EXPECT_TRUE(got.message.starts_with(c.expected.message)) << got.message;
    EXPECT_NE(got.detail.find(c.expected.detail), std::string::npos) << got.detail;
    // What the case made itself (avatar, audio, folders) stays; no video and no temporary file.
    EXPECT_FALSE(fs::is_regular_file(dir.path() / "o.mp4"));
    for (const std::string& name : files_in(dir.path())) EXPECT_EQ(name.find(".part"), std::string::npos) << name;
  }
}

// A fixture avatar, a second of speech and what a write into the folder left there.
struct WriteScene {
  TempDir dir;
  std::string avatar = dir.write("face.v1", "vantor1-fixture 16 16\n");
  std::string audio = (dir.path() / "speech.wav").string();
  WriteScene() { testing::write_wav(audio, 16000, 1, tone(1.0)); }
  std::string at(const std::string& name) const { return (dir.path() / name).string(); }
  // The temporaries in the scene's folders.
  std::vector<std::string> temporaries() const {
    std::vector<std::string> found;
    for (const auto& e : fs::recursive_directory_iterator(dir.path())) {
      if (e.path().filename().string().ends_with(".part")) found.push_back(e.path().string());
    }
    return found;
  }
};

// Renders `audio` into `out` on the scene's avatar; `frames` counts the frames written.
Outcome write_video(const WriteScene& s, AudioInput audio, const std::string& out, int* frames = nullptr) {
  Avatar avatar = open(s.avatar);
  return attempt([&] {
    avatar.render(std::move(audio), out, {}, [&](const WriteProgress&) {
      if (frames) ++*frames;
    });
  });
}

TEST(Mp4Writer, TheVideoNeverReplacesItsOwnAudioOrAvatarWhateverTheirNames) {
  struct Case {
    const char* name;
    std::function<AudioInput(const WriteScene&)> audio;
    std::function<std::string(const WriteScene&)> target;
    const char* says;
    bool renders_first;  // a stream renders its items before the refused one
  };
  const auto audio_file = [](const WriteScene& s) { return s.audio; };
  const Case cases[] = {
      {"a file", [](const WriteScene& s) { return AudioInput::file(s.audio); }, audio_file,
       "is the audio file of this render", false},
      {"a path", [](const WriteScene& s) { return AudioInput(fs::path(s.audio)); }, audio_file,
       "is the audio file of this render", false},
      {"a string", [](const WriteScene& s) { return AudioInput(s.audio); }, audio_file,
       "is the audio file of this render", false},
      {"a C string", [](const WriteScene& s) { return AudioInput(s.audio.c_str()); }, audio_file,
       "is the audio file of this render", false},
      {"a relative path beside a hard link",
       [](const WriteScene& s) { return AudioInput::file(fs::relative(s.audio)); },
       [](const WriteScene& s) {
         fs::create_hard_link(s.audio, s.at("hard.mp4"));
         return s.at("hard.mp4");
       },
       "is the audio file of this render", false},
      {"a symbolic link to the audio", [](const WriteScene& s) { return AudioInput::file(s.audio); },
       [](const WriteScene& s) {
         fs::create_symlink("speech.wav", s.at("link.mp4"));
         return s.at("link.mp4");
       },
       "is the audio file of this render", false},
      {"an audio file in a stream",
       [](const WriteScene& s) {
         std::vector<AudioItem> items;
         items.push_back(AudioItem::samples(std::span<const std::int16_t>(tone(0.5))));
         items.push_back(AudioItem::file(s.audio));
         return AudioInput::stream(std::move(items));
       },
       audio_file, "is the audio file of this render", true},
      {"the avatar", [](const WriteScene& s) { return AudioInput::file(s.audio); },
       [](const WriteScene& s) { return s.avatar; }, "is the file of the avatar being rendered", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteScene s;
    const std::string avatar_text = testing::read_file(s.avatar), audio_text = testing::read_file(s.audio);
    int frames = 0;
    const Outcome got = write_video(s, c.audio(s), c.target(s), &frames);
    EXPECT_EQ(got.kind, "Failed");
    EXPECT_EQ(got.message, detail::WRITE_FAILED);
    EXPECT_NE(got.detail.find(c.says), std::string::npos) << got.detail;
    if (!c.renders_first) {
      EXPECT_EQ(frames, 0);  // refused before the render began
    }
    EXPECT_TRUE(testing::read_file(s.avatar) == avatar_text) << "the avatar was replaced";
    EXPECT_TRUE(testing::read_file(s.audio) == audio_text) << "the audio was replaced";
    EXPECT_EQ(s.temporaries(), std::vector<std::string>{});
  }
}

TEST(Mp4Writer, NoFileInsideAFolderAvatarIsEverTheVideoWhateverItsSpelling) {
  // A folder avatar with a nested file, a link inside it and a link of its own that points out of it.
  struct Bundle : WriteScene {
    std::string folder = at("bundle");
    Bundle() {
      dir.write("bundle/manifest.json", R"({"engine": "vantor2-light", "width": 16, "height": 16})");
      dir.write("bundle/canon.bin", "canon");
      dir.write("bundle/sub/deep.bin", "deep");
      dir.write("shared.bin", "shared");
      fs::create_symlink("canon.bin", at("bundle/alias.bin"));
      fs::create_symlink("../shared.bin", at("bundle/shared.bin"));
    }
    // Every name under the folder (and the shared file) with the start of what it holds, links as their text.
    std::map<std::string, std::string> contents() const {
      const auto start = [](const fs::path& p) { return testing::read_file(p).substr(0, 16); };
      std::map<std::string, std::string> found{{"shared.bin", start(at("shared.bin"))}};
      for (const auto& e : fs::recursive_directory_iterator(folder)) {
        found[e.path().lexically_relative(dir.path()).string()] =
            e.is_symlink() ? "-> " + fs::read_symlink(e.path()).string() : e.is_directory() ? "/" : start(e.path());
      }
      return found;
    }
  };
  struct Case {
    const char* name;
    std::function<std::string(const Bundle&)> target;  // made ready, and returned as the renderer is given it
    bool refused = true;
    std::string opened = "bundle";  // the avatar as open() is given it
  };
  const auto at = [](const char* name) { return [name](const Bundle& b) { return b.at(name); }; };
  const auto link = [](const char* name, const char* to) {
    return [name, to](const Bundle& b) {
      fs::create_symlink(to, b.at(name));
      return b.at(name);
    };
  };
  const Case cases[] = {
      {"an avatar file", at("bundle/canon.bin")},
      {"a file in a subfolder", at("bundle/sub/deep.bin")},
      {"a new file", at("bundle/new.mp4")},
      {"the folder itself", at("bundle")},
      {"a link to the folder itself", link("bundle.mp4", "bundle")},
      {"dot-dot and doubled slashes", at("bundle/sub/..//./canon.bin")},
      {"a relative path", [](const Bundle& b) { return fs::relative(b.at("bundle/canon.bin")).string(); }},
      {"a link to an avatar file", link("canon.mp4", "bundle/canon.bin")},
      {"a dangling link into the folder", link("new.mp4", "bundle/sub/new.mp4")},
      {"the avatar's own link", at("bundle/alias.bin")},
      {"a link to the folder, then a file", at("same/sub/deep.bin")},
      {"a hard link to an avatar file",
       [](const Bundle& b) {
         fs::create_hard_link(b.at("bundle/canon.bin"), b.at("hard.mp4"));
         return b.at("hard.mp4");
       }},
      {"a file the avatar links to", at("shared.bin")},
      {"the folder opened through a link", at("bundle/canon.bin"), true, "same"},
      {"a name that merely starts like the folder", at("bundle.mp4"), false},
      {"a folder beside it", [](const Bundle& b) {
         fs::create_directory(b.at("bundlex"));
         return b.at("bundlex/o.mp4");
       }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bundle b;
    fs::create_symlink("bundle", b.at("same"));
    const std::string target = c.target(b);
    const auto before = b.contents();
    Avatar avatar = open(b.at(c.opened));
    int frames = 0;
    const Outcome got = attempt([&] {
      avatar.render(AudioInput::file(b.audio), target, {}, [&](const WriteProgress&) { ++frames; });
    });
    EXPECT_EQ(b.contents(), before);
    EXPECT_EQ(b.temporaries(), std::vector<std::string>{});
    if (!c.refused) {
      EXPECT_EQ(got.kind, "") << got.detail;
      continue;
    }
    EXPECT_EQ(got.kind, "Failed");
    EXPECT_EQ(got.message, detail::WRITE_FAILED);
    EXPECT_NE(got.detail.find("the folder of the avatar being rendered"), std::string::npos) << got.detail;
    EXPECT_EQ(frames, 0);  // refused before the render began
  }
}

TEST(Mp4Writer, AFifoADeviceOrASocketIsRefusedAndLeftAsItIs) {
  struct Case {
    const char* name;
    std::function<void(const std::string& path)> make;
    mode_t type;
    const char* says;
  };
  const Case cases[] = {
      {"a FIFO", [](const std::string& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0666), 0); }, S_IFIFO, "is a FIFO, "},
      {"a character device",
       [](const std::string& p) {
         if (::mknod(p.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) GTEST_SKIP() << "mknod needs root";
       },
       S_IFCHR, "is a character device, "},
      {"a socket",
       [](const std::string& p) {
         const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
         sockaddr_un address{};
         address.sun_family = AF_UNIX;
         ASSERT_LT(p.size(), sizeof address.sun_path);
         std::memcpy(address.sun_path, p.c_str(), p.size() + 1);
         ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
         ::close(fd);
       },
       S_IFSOCK, "is a socket, "},
  };
  for (const Case& c : cases) {
    for (const bool through_link : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (through_link ? " behind a link" : ""));
      WriteScene s;
      const std::string special = s.at("special");
      c.make(special);
      if (::testing::Test::IsSkipped()) return;
      std::string target = special;
      if (through_link) fs::create_symlink("special", target = s.at("link.mp4"));
      int frames = 0;
      const Outcome got = write_video(s, AudioInput::file(s.audio), target, &frames);
      EXPECT_EQ(got.kind, "Failed");
      EXPECT_NE(got.detail.find(c.says), std::string::npos) << got.detail;
      EXPECT_NE(got.detail.find("not a regular file"), std::string::npos) << got.detail;
      EXPECT_EQ(frames, 0);
      struct stat st {};
      ASSERT_EQ(::lstat(special.c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & S_IFMT, c.type);
      if (through_link) {
        EXPECT_TRUE(fs::is_symlink(target));
      }
      EXPECT_EQ(s.temporaries(), std::vector<std::string>{});
    }
  }
}

TEST(Mp4Writer, ASymbolicLinkStaysAndTheFileItPointsToGetsTheVideo) {
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> links;  // (link, what it holds), made in order
    std::string target;                                       // the first link
    std::string file;                                         // where the video must land
  };
  const Case cases[] = {
      {"relative", {{"talk.mp4", "videos/real.mp4"}}, "talk.mp4", "videos/real.mp4"},
      {"absolute", {{"talk.mp4", "<dir>/videos/real.mp4"}}, "talk.mp4", "videos/real.mp4"},
      {"relative from the link's folder", {{"links/talk.mp4", "../videos/real.mp4"}}, "links/talk.mp4",
       "videos/real.mp4"},
      {"a chain", {{"videos/hop.mp4", "real.mp4"}, {"talk.mp4", "videos/hop.mp4"}}, "talk.mp4", "videos/real.mp4"},
      {"dangling", {{"talk.mp4", "videos/new.mp4"}}, "talk.mp4", "videos/new.mp4"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteScene s;
    s.dir.write("videos/real.mp4", "an earlier video");
    fs::create_directories(s.dir.path() / "links");
    for (auto [link, to] : c.links) {
      if (to.starts_with("<dir>")) to = s.dir.str() + to.substr(5);
      fs::create_symlink(to, s.at(link));
    }
    EXPECT_EQ(write_video(s, AudioInput::file(s.audio), s.at(c.target)).kind, "");
    for (const auto& [link, to] : c.links) EXPECT_TRUE(fs::is_symlink(s.at(link))) << link;
    if (c.file != "videos/real.mp4") {
      EXPECT_EQ(testing::read_file(s.at("videos/real.mp4")), "an earlier video");
    }
    const bool got_video = fs::is_regular_file(s.at(c.file)) && testing::read_file(s.at(c.file)) != "an earlier video";
    EXPECT_TRUE(got_video) << c.file << " did not get the video";
    if (got_video) {
      EXPECT_EQ(testing::probe_mp4(s.at(c.file)).frames, 25);
    }
    EXPECT_EQ(s.temporaries(), std::vector<std::string>{});
  }

  WriteScene s;
  fs::create_symlink("loop.mp4", s.at("loop.mp4"));
  const Outcome loop = write_video(s, AudioInput::file(s.audio), s.at("loop.mp4"));
  EXPECT_EQ(loop.kind, "Failed");
  EXPECT_NE(loop.detail.find("Too many levels of symbolic links"), std::string::npos) << loop.detail;
  EXPECT_TRUE(fs::is_symlink(s.at("loop.mp4")));
}

using detail::CommitStep;

// Makes every VideoTarget of a scope take `road`.
struct RoadScope {
  explicit RoadScope(detail::TemporaryRoad road) { detail::force_temporary_road(road); }
  ~RoadScope() { detail::force_temporary_road(detail::TemporaryRoad::any); }
};

using StepHook = std::function<void(const detail::Mp4Output&, CommitStep)>;

// Writes a second of grey 16 x 16 video straight through an Mp4Output; `at_step` sees each step of the commit.
Outcome write_grey(const std::string& target, std::vector<detail::KeptFile> keep, const StepHook& at_step,
                   std::stop_token stop = {}) {
  return attempt([&] {
    detail::Mp4Output out(target, {}, std::move(keep));
    auto pixels = std::make_shared<std::vector<std::byte>>(16 * 16 * 3, std::byte{128});
    Frame frame{std::shared_ptr<const std::byte>(pixels, pixels->data()), pixels->size(), {16, 16, 3}};
    for (int i = 0; i < 25; ++i) out.add_frame(frame, 25);
    out.commit(stop, [&](CommitStep step) { at_step(out, step); });
  });
}

// A step hook that runs `f` just before each rename.
StepHook before_rename(std::function<void(const detail::Mp4Output&)> f) {
  return [f = std::move(f)](const detail::Mp4Output& out, CommitStep step) {
    if (step == CommitStep::before_rename) f(out);
  };
}

TEST(Mp4Writer, ALinkMadeWhileTheVideoIsWrittenStaysAndWhereItPointsIsCheckedAgain) {
  struct Case {
    const char* to;       // what the target becomes a link to, from the scene's folder
    const char* refused;  // a part of the detail; nothing: the video lands where the link points
  };
  const Case cases[] = {
      {"videos/real.mp4", nullptr},
      {"videos/new.mp4", nullptr},
      {"speech.wav", "is the audio file of this render"},
      {"bundle/canon.bin", "inside the folder of the avatar being rendered"},
      {"fifo", "is a FIFO"},
  };
  for (const Case& c : cases) {
    for (const bool existed : {true, false}) {
      // The link comes while the frames are written (through the render), or between the last check and the
      // rename (straight through the output).
      for (const bool at_rename : {false, true}) {
        SCOPED_TRACE(std::string(c.to) + (existed ? " in place of a file" : " where there was none") +
                     (at_rename ? ", just before the rename" : ", after the first frame"));
        WriteScene s;
        s.dir.write("bundle/manifest.json", R"({"engine": "vantor2-light", "width": 16, "height": 16})");
        s.dir.write("bundle/canon.bin", "canon");
        s.dir.write("videos/real.mp4", "an earlier video");
        ASSERT_EQ(::mkfifo(s.at("fifo").c_str(), 0666), 0);
        if (existed) s.dir.write("talk.mp4", "the target's video");
        const std::string audio = testing::read_file(s.audio);
        int swaps = 0;
        const auto swap = [&] {
          if (swaps++ > 0) return;
          fs::remove(s.at("talk.mp4"));
          fs::create_symlink(c.to, s.at("talk.mp4"));
        };
        Outcome got;
        if (at_rename) {
          got = write_grey(s.at("talk.mp4"),
                           {{s.audio, "the audio file of this render"},
                            {s.at("bundle"), "the folder of the avatar being rendered"}},
                           before_rename([&](const detail::Mp4Output&) { swap(); }));
        } else {
          Avatar avatar = open(s.at("bundle"));
          got = attempt([&] {
            avatar.render(AudioInput::file(s.audio), s.at("talk.mp4"), {}, [&](const WriteProgress&) { swap(); });
          });
        }
        EXPECT_TRUE(fs::is_symlink(s.at("talk.mp4")));
        EXPECT_EQ(s.temporaries(), std::vector<std::string>{});
        EXPECT_TRUE(testing::read_file(s.audio) == audio) << "the audio was replaced";
        EXPECT_EQ(testing::read_file(s.at("bundle/canon.bin")), "canon");
        EXPECT_EQ(fs::status(s.at("fifo")).type(), fs::file_type::fifo);
        if (c.refused) {
          EXPECT_EQ(got.kind, "Failed");
          EXPECT_NE(got.detail.find(c.refused), std::string::npos) << got.detail;
          continue;
        }
        EXPECT_EQ(got.kind, "") << got.detail;
        const bool landed = fs::is_regular_file(s.at(c.to)) && testing::read_file(s.at(c.to)) != "an earlier video";
        EXPECT_TRUE(landed) << c.to << " did not get the video";
        if (landed) {
          EXPECT_EQ(testing::probe_mp4(s.at(c.to)).frames, 25);
        }
      }
    }
  }
}

// A sweeper that cannot see the writer's process (another pid namespace) has only the lock to go by.
TEST(Mp4Writer, TheTemporaryStaysLockedUntilItIsRenamed) {
  const RoadScope road(detail::TemporaryRoad::named);
  WriteScene s;
  bool looked = false;
  const Outcome got = write_grey(s.at("talk.mp4"), {}, before_rename([&](const detail::Mp4Output& out) {
    const int fd = ::open(out.temp_path().c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_NE(::flock(fd, LOCK_SH | LOCK_NB), 0) << "the temporary is not locked just before the rename";
    ::close(fd);
    looked = true;
  }));
  EXPECT_EQ(got.kind, "") << got.detail;
  EXPECT_TRUE(looked);
}

// A killed writer's temporary goes with the next write into its folder once no writer holds it locked, whatever
// process has the id in its name now; only files this user's writers make are taken: regular, one link, theirs.
TEST(Mp4Writer, TheNextWriteRemovesKilledWritersTemporariesWhoseLockIsFreeAndNothingElse) {
  WriteScene s;
  const std::string dead = std::to_string(dead_pid());
  const std::string live = std::to_string(::getpid());
  const std::vector<std::string> removed = {
      ".talk.mp4." + dead + ".0.part", ".other.mp4." + dead + ".17.part",
      ".talk.mp4." + live + ".1.part", ".talk.mp4.1.0.part",  // ids of live processes, given out again
  };
  std::vector<std::string> kept = {
      "talk.mp4." + dead + ".0.part",   ".talk.mp4." + dead + ".0.part~",  // other names
      ".." + dead + ".0.part",          ".talk.mp4.0" + dead + ".0.part",
      ".talk.mp4." + dead + ".x.part",  ".talk.mp4." + dead + ".part",
      // numbers no process can have, one of them beyond any integer
      ".talk.mp4.2147483648.0.part",    ".talk.mp4.9999999999999999999.0.part",
  };
  for (const auto& name : removed) s.dir.write(name, "left by a killed writer");
  for (const auto& name : kept) s.dir.write(name, "someone's");
  // A file a writer holds locked (one on another machine, whose process this one cannot see); a link, a
  // folder, a file with a second link and another user's file named as temporaries; a dead writer's temporary
  // in another folder.
  const std::string locked = s.dir.write(".held.mp4." + dead + ".0.part", "in use");
  const int lock = ::open(locked.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_EQ(::flock(lock, LOCK_EX | LOCK_NB), 0);
  fs::create_symlink("speech.wav", s.at(".link.mp4." + dead + ".0.part"));
  fs::create_directory(s.at(".dir.mp4." + dead + ".0.part"));
  ::chmod(s.at(".dir.mp4." + dead + ".0.part").c_str(), 0755);
  fs::create_hard_link(s.dir.write(".linked.mp4." + dead + ".0.part", "linked"), s.at("linked.mp4"));
  kept.insert(kept.end(), {".held.mp4." + dead + ".0.part", ".link.mp4." + dead + ".0.part",
                           ".dir.mp4." + dead + ".0.part", ".linked.mp4." + dead + ".0.part", "linked.mp4"});
  if (::geteuid() == 0) {
    const std::string theirs = s.dir.write(".theirs.mp4." + dead + ".0.part", "another user's");
    ASSERT_EQ(::chown(theirs.c_str(), 65534, 65534), 0);
    kept.push_back(".theirs.mp4." + dead + ".0.part");
  }
  s.dir.write("elsewhere/.talk.mp4." + dead + ".0.part", "another folder's");
  kept.push_back("elsewhere/.talk.mp4." + dead + ".0.part");
  // A killed writer's private folder, empty, and one it was killed in the middle of its commit with: what is
  // in it keeps a name of its own.
  const std::string room = s.at(".talk.mp4." + dead + ".3.part"), busy = s.at(".talk.mp4." + dead + ".4.part");
  ASSERT_EQ(::mkdir(room.c_str(), 0700), 0);
  ASSERT_EQ(::mkdir(busy.c_str(), 0700), 0);
  s.dir.write(fs::path(busy).filename().string() + "/video", "a finished video");

  EXPECT_EQ(write_video(s, AudioInput::file(s.audio), s.at("talk.mp4")).kind, "");
  ::close(lock);
  for (const auto& name : removed) EXPECT_FALSE(fs::exists(fs::symlink_status(s.at(name)))) << name;
  for (const auto& name : kept) EXPECT_TRUE(fs::exists(fs::symlink_status(s.at(name)))) << name;
  EXPECT_FALSE(fs::exists(room));
  EXPECT_FALSE(fs::exists(busy));
  EXPECT_EQ(testing::read_file(s.at("talk.mp4.recovered-1")), "a finished video");
}

// The video is readable by its owner alone until the commit, and has no name at all where the file system
// allows it; at the commit it takes the replaced file's bits, or a new file's.
TEST(Mp4Writer, TheVideoHasNoNameAndIsTheOwnersAloneUntilTheCommit) {
  const mode_t umask_was = ::umask(0);  // the most a new file can be given
  const std::pair<detail::TemporaryRoad, const char*> roads[] = {
      {detail::TemporaryRoad::any, "unnamed"},
      {detail::TemporaryRoad::unnamed_through_proc, "unnamed, linked through /proc"},
      {detail::TemporaryRoad::named, "named"}};
  for (const auto& [road, name] : roads) {
    for (const bool existed : {false, true}) {
      SCOPED_TRACE(std::string(name) + (existed ? ", over a 0640 file" : ", a new file"));
      const RoadScope scope(road);
      WriteScene s;
      const std::string target = s.at("talk.mp4");
      if (existed) {
        s.dir.write("talk.mp4", "an earlier video");
        ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
      }
      const std::set<std::string> before = files_in(s.dir.path());
      bool looked = false;
      const Outcome got = write_grey(target, {}, [&](const detail::Mp4Output& out, CommitStep step) {
        if (step != CommitStep::synced) return;
        looked = true;
        struct stat st {};
        ASSERT_EQ(::fstat(out.fd(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        const bool named = road == detail::TemporaryRoad::named;
        EXPECT_EQ(st.st_nlink, named ? 1u : 0u);
        EXPECT_EQ(out.temp_path().empty(), !named);
        std::set<std::string> now = files_in(s.dir.path());
        if (named) now.erase(fs::path(out.temp_path()).filename().string());
        EXPECT_EQ(now, before);
      });
      EXPECT_EQ(got.kind, "") << got.detail;
      EXPECT_TRUE(looked);
      EXPECT_EQ(fs::status(target).permissions(), static_cast<fs::perms>(existed ? 0640 : 0666));
      EXPECT_EQ(testing::probe_mp4(target).frames, 25);
      EXPECT_EQ(s.temporaries(), std::vector<std::string>{});
    }
  }
  ::umask(umask_was);
}

TEST(Mp4Writer, ARenderStoppedFromAnotherThreadIsCancelledAndLeavesNothing) {
  TempDir dir;
  Avatar avatar = open(dir.write("face.v1", "vantor1-fixture 64 64\n"));
  const auto samples = tone(20.0);
  std::stop_source stop;
  std::mutex m;
  std::condition_variable cv;
  bool asked = false;
  std::jthread stopper([&] {
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return asked; });
    stop.request_stop();
  });
  std::int64_t last = 0;
  const Outcome got = attempt([&] {
    avatar.render(AudioInput::samples(view(samples)), dir.path() / "o.mp4", stop.get_token(),
                  [&](const WriteProgress& p) {
                    last = p.frames;
                    if (p.frames != 5) return;
                    {
                      std::lock_guard lock(m);
                      asked = true;
                    }
                    cv.notify_one();
                    while (!stop.stop_requested()) std::this_thread::yield();
                  });
  });
  EXPECT_EQ(got.kind, "Cancelled");
  EXPECT_EQ(last, 5);
  EXPECT_EQ(files_in(dir.path()), std::set<std::string>{"face.v1"});
  // The avatar renders again afterwards.
  EXPECT_EQ(avatar.render(AudioInput::samples(view(samples).first(16000)), dir.path() / "o.mp4"), 25);
}


const char* step_name(CommitStep step) {
  switch (step) {
    case CommitStep::synced:
      return "synced";
    case CommitStep::before_rename:
      return "before the rename";
    case CommitStep::exchanged:
      return "exchanged";
  }
  return "?";
}

// A stop counts until the video is renamed onto the target: up to then the target stays as it was and no
// temporary is left; once renamed, the write has succeeded.
TEST(Mp4Writer, AStopDuringTheCommitCancelsUpToTheRenameAndNothingAfterIt) {
  struct Case {
    CommitStep at;
    bool existed;  // the target held a file
    bool cancelled;
  };
  const Case cases[] = {
      {CommitStep::synced, true, true},     {CommitStep::before_rename, true, true},
      {CommitStep::exchanged, true, false}, {CommitStep::synced, false, true},
      {CommitStep::before_rename, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(step_name(c.at)) + (c.existed ? ", over a file" : ", a new name"));
    WriteScene s;
    const std::string target = s.at("talk.mp4");
    if (c.existed) s.dir.write("talk.mp4", "an earlier video");
    std::stop_source stop;
    const Outcome got = write_grey(
        target, {},
        [&](const detail::Mp4Output&, CommitStep step) {
          if (step == c.at) stop.request_stop();
        },
        stop.get_token());
    EXPECT_EQ(got.kind, c.cancelled ? "Cancelled" : "") << got.detail;
    if (!c.cancelled) {
      EXPECT_EQ(testing::probe_mp4(target).frames, 25);
    } else if (c.existed) {
      EXPECT_EQ(testing::read_file(target), "an earlier video");
    } else {
      EXPECT_FALSE(fs::exists(fs::symlink_status(target)));
    }
    EXPECT_EQ(s.temporaries(), std::vector<std::string>{});
  }
}

// What each name in `dir` holds: the video (by its inode) or the start of what a file holds; a link as its text.
std::map<std::string, std::string> holdings(const fs::path& dir, ino_t video) {
  std::map<std::string, std::string> found;
  for (const auto& e : fs::directory_iterator(dir)) {
    struct stat st {};
    if (::lstat(e.path().c_str(), &st) != 0) continue;
    const std::string name = e.path().filename().string();
    if (S_ISLNK(st.st_mode)) {
      found[name] = "-> " + fs::read_symlink(e.path()).string();
    } else if (st.st_ino == video) {
      found[name] = "the video";
    } else {
      found[name] = testing::read_file(e.path()).substr(0, 16);
    }
  }
  return found;
}

// Another program swaps names at a step of the commit: the writer must put the video at the target or fail
// saying where each file is, and must never remove a file it did not write, nor leave one of the user's under
// a temporary's name, nor a video it does not report.
TEST(Mp4Writer, NamesSwappedAtAStepOfTheCommitLeaveEveryFileAndSayWhereTheyAre) {
  // talk.mp4 (the target) holds the user's video; other.mp4 and spare.mp4 more of the user's files; "temp" is
  // the named temporary.
  struct Swap {
    CommitStep at;  // done the first time the commit reaches it
    const char* a;
    const char* b;
  };
  struct Case {
    const char* name;
    bool named;  // the temporary has a name
    std::vector<Swap> swaps;
    bool stop;  // the write is stopped at the first swap
    const char* kind;
    std::string says;  // a part of the detail
    std::map<std::string, std::string> after;  // what each name holds then
  };
  const std::string O = "the user's video", X = "another file", S = "a spare file", V = "the video";
  const std::vector<Swap> twice = {{CommitStep::before_rename, "talk.mp4", "other.mp4"},
                                   {CommitStep::exchanged, "talk.mp4", "other.mp4"}};
  const std::string moved_twice =
      "'{talk}' changed while the video was put in place (another program moved names there while the video was "
      "put in place): '{talk}' holds another file, the file that was there when it was checked is now "
      "'{dir}/talk.mp4.recovered-1', and the video is '{dir}/other.mp4'";
  const std::map<std::string, std::string> after_twice = {
      {"talk.mp4", X}, {"other.mp4", V}, {"talk.mp4.recovered-1", O}, {"spare.mp4", S}};
  const Case cases[] = {
      {"the target's name moves twice around the exchange", false, twice, false, "Failed", moved_twice, after_twice},
      {"the target's name moves twice around the exchange, named", true, twice, false, "Failed", moved_twice,
       after_twice},
      {"the temporary's name holds another file at the rename", true,
       {{CommitStep::before_rename, "temp", "spare.mp4"}}, false, "Failed",
       "(another file came under the name of the video's temporary file '{temp}'): '{talk}' holds the file that "
       "was there when it was checked, another file is now '{dir}/talk.mp4.recovered-1', and the video is "
       "'{dir}/spare.mp4'",
       {{"talk.mp4", O}, {"other.mp4", X}, {"talk.mp4.recovered-1", S}, {"spare.mp4", V}}},
      {"the temporary's name holds another file when a stopped write ends", true,
       {{CommitStep::synced, "temp", "spare.mp4"}}, true, "Cancelled", "",
       {{"talk.mp4", O}, {"other.mp4", X}, {"talk.mp4.recovered-1", S}, {"spare.mp4", V}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const RoadScope road(c.named ? detail::TemporaryRoad::named : detail::TemporaryRoad::any);
    TempDir dir;
    const std::string talk = dir.write("talk.mp4", O);
    dir.write("other.mp4", X);
    dir.write("spare.mp4", S);
    std::string temp;
    ino_t video = 0;
    std::set<std::size_t> done;
    std::stop_source stop;
    const auto path = [&](const std::string& name) { return name == "temp" ? temp : (dir.path() / name).string(); };
    const Outcome got = write_grey(
        talk, {},
        [&](const detail::Mp4Output& out, CommitStep step) {
          if (!video) {
            temp = out.temp_path();
            EXPECT_EQ(temp.empty(), !c.named);
            struct stat st {};
            ASSERT_EQ(::fstat(out.fd(), &st), 0);
            video = st.st_ino;
          }
          for (std::size_t i = 0; i < c.swaps.size(); ++i) {
            if (c.swaps[i].at != step || !done.insert(i).second) continue;
            ASSERT_EQ(::renameat2(AT_FDCWD, path(c.swaps[i].a).c_str(), AT_FDCWD, path(c.swaps[i].b).c_str(),
                                  RENAME_EXCHANGE),
                      0);
            if (c.stop) stop.request_stop();
          }
        },
        stop.get_token());
    std::string says = c.says;
    for (const auto& [name, spelled] :
         {std::pair{"{talk}", talk}, std::pair{"{temp}", temp}, std::pair{"{dir}", dir.str()}}) {
      for (std::size_t at; (at = says.find(name)) != std::string::npos;) says.replace(at, std::strlen(name), spelled);
    }
    EXPECT_EQ(got.kind, c.kind);
    EXPECT_NE(got.detail.find(says), std::string::npos) << got.detail;
    EXPECT_EQ(holdings(dir.path(), video), c.after);
  }
}

// A racer swaps the target's name with another name over and over around the commit (the names' contents move,
// nothing is replaced), the other name a file, or a symbolic link, so that the target also stops being a link
// while it is followed. Whatever the interleaving, a write that succeeds leaves its video (the racer may have
// moved it on) and removed at most the one file it replaced; a write that fails removed none of the user's.
TEST(Mp4Writer, ARacerMovingTheTargetAroundTheCommitNeverCostsAFileOrTheVideo) {
  struct Case {
    const char* other;  // what the name the target is swapped with holds
    bool link;
  };
  const Case cases[] = {{"another file", false}, {"linked.mp4", true}};
  constexpr int ROUNDS = 100;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.link ? "swapped with a link" : "swapped with a file");
    int succeeded = 0;
    for (int round = 0; round < ROUNDS; ++round) {
      TempDir dir;
      const std::string talk = dir.write("talk.mp4", "the user's video");
      const std::string other = (dir.path() / "other.mp4").string();
      if (c.link) {
        fs::create_symlink(c.other, other);
      } else {
        dir.write("other.mp4", c.other);
      }
      std::set<ino_t> users;
      for (const std::string& name : {talk, other}) {
        struct stat st {};
        ASSERT_EQ(::lstat(name.c_str(), &st), 0);
        users.insert(st.st_ino);
      }
      ino_t video = 0;
      std::atomic<bool> racing{true};
      std::atomic<int> moves{0};
      std::jthread racer;
      const Outcome got = write_grey(talk, {}, [&](const detail::Mp4Output& out, CommitStep step) {
        if (step != CommitStep::synced) return;
        struct stat st {};
        ASSERT_EQ(::fstat(out.fd(), &st), 0);
        video = st.st_ino;
        racer = std::jthread([&] {
          while (racing) {
            ::renameat2(AT_FDCWD, talk.c_str(), AT_FDCWD, other.c_str(), RENAME_EXCHANGE);
            ++moves;
          }
        });
        while (moves < 10) std::this_thread::yield();  // racing before the commit goes on
      });
      racing = false;
      racer = {};
      std::set<ino_t> left;
      for (const auto& e : fs::directory_iterator(dir.path())) {
        struct stat st {};
        if (::lstat(e.path().c_str(), &st) == 0) left.insert(st.st_ino);
      }
      std::size_t users_left = 0;
      for (const ino_t ino : users) users_left += left.count(ino);
      if (got.kind.empty()) {
        ++succeeded;
        ASSERT_TRUE(left.count(video)) << "round " << round << ": the video is gone after a write that succeeded";
        ASSERT_GE(users_left, 1u) << "round " << round;
      } else {
        ASSERT_EQ(got.kind, "Failed") << got.detail;
        ASSERT_EQ(got.detail.find("cannot read the link"), std::string::npos) << got.detail;
        ASSERT_EQ(users_left, 2u) << "round " << round << ": " << got.detail;
      }
    }
    std::printf("%d of %d writes succeeded under the racer\n", succeeded, ROUNDS);
  }
}


// The regular files under `dir` by inode, each with what it holds.
std::map<ino_t, std::string> files_by_inode(const fs::path& dir) {
  std::map<ino_t, std::string> found;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    struct stat st {};
    if (::lstat(e.path().c_str(), &st) == 0 && S_ISREG(st.st_mode)) found[st.st_ino] = testing::read_file(e.path());
  }
  return found;
}

// The avatar and the audio are kept as they were when the render started (the avatar: when it was opened), so
// moving one during the render and pointing the target at it is refused as its old name would be.
TEST(Mp4Writer, AKeptFileMovedDuringTheRenderIsStillNeverTheVideo) {
  struct Case {
    const char* name;
    const char* opened;  // the avatar as open() is given it
    std::function<void(const WriteScene&)> move;  // at the first frame; it points talk.mp4 somewhere
    const char* says;
  };
  const auto link = [](const WriteScene& s, const char* to) { fs::create_symlink(to, s.at("talk.mp4")); };
  const Case cases[] = {
      {"the avatar's folder, and a link into it", "bundle",
       [&](const WriteScene& s) {
         fs::rename(s.at("bundle"), s.at("moved"));
         link(s, "moved/canon.bin");
       },
       "is inside the folder of the avatar being rendered"},
      {"the avatar's folder, and a hard link to a file in it", "bundle",
       [](const WriteScene& s) {
         fs::rename(s.at("bundle"), s.at("moved"));
         fs::create_hard_link(s.at("moved/canon.bin"), s.at("talk.mp4"));
       },
       "inside the folder of the avatar being rendered"},
      {"the link the avatar was opened through, pointed elsewhere", "same",
       [&](const WriteScene& s) {
         fs::remove(s.at("same"));
         fs::create_symlink("decoy", s.at("same"));
         link(s, "bundle/canon.bin");
       },
       "is inside the folder of the avatar being rendered"},
      {"the avatar's file", "face.v1",
       [&](const WriteScene& s) {
         fs::rename(s.avatar, s.at("moved.v1"));
         link(s, "moved.v1");
       },
       "is the file of the avatar being rendered"},
      {"the audio", "face.v1",
       [&](const WriteScene& s) {
         fs::rename(s.audio, s.at("heard.wav"));
         link(s, "heard.wav");
       },
       "is the audio file of this render"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteScene s;
    s.dir.write("bundle/manifest.json", R"({"engine": "vantor2-light", "width": 16, "height": 16})");
    s.dir.write("bundle/canon.bin", "canon");
    s.dir.write("decoy/manifest.json", R"({"engine": "vantor2-light", "width": 16, "height": 16})");
    fs::create_symlink("bundle", s.at("same"));
    const auto before = files_by_inode(s.dir.path());
    Avatar avatar = open(s.at(c.opened));
    const Outcome got = attempt([&] {
      avatar.render(AudioInput::file(s.audio), s.at("talk.mp4"), {}, [&](const WriteProgress& p) {
        if (p.frames == 1) c.move(s);
      });
    });
    EXPECT_EQ(got.kind, "Failed");
    EXPECT_NE(got.detail.find(c.says), std::string::npos) << got.detail;
    EXPECT_EQ(files_by_inode(s.dir.path()), before);
    EXPECT_EQ(s.temporaries(), std::vector<std::string>{});
  }
}

// A relative target names a file of the working folder of the call: a chdir meanwhile (another thread's, say)
// does not send the video elsewhere.
TEST(Mp4Writer, ARelativeTargetStaysInTheFolderOfTheCallAfterAChdir) {
  WriteScene s;
  const std::string elsewhere = s.dir.write("elsewhere/talk.mp4", "elsewhere's file");
  const fs::path cwd = fs::current_path();
  fs::current_path(s.dir.path());
  Avatar avatar = open(s.avatar);
  const Outcome got = attempt([&] {
    avatar.render(AudioInput::file("speech.wav"), "talk.mp4", {}, [&](const WriteProgress& p) {
      if (p.frames == 1) fs::current_path(s.dir.path() / "elsewhere");
    });
  });
  fs::current_path(cwd);
  EXPECT_EQ(got.kind, "") << got.detail;
  EXPECT_EQ(testing::read_file(elsewhere), "elsewhere's file");
  EXPECT_TRUE(fs::is_regular_file(s.at("talk.mp4")));
  EXPECT_EQ(s.temporaries(), std::vector<std::string>{});
}

TEST(Mp4Writer, AReplacedFileKeepsItsPermissionBitsAndANewOneGetsTheUsualOnes) {
  const mode_t umask_now = ::umask(0);
  ::umask(umask_now);
  for (const mode_t mode : {0600, 0640, 0751}) {
    SCOPED_TRACE(mode);
    WriteScene s;
    const std::string target = s.dir.write("talk.mp4", "an earlier video");
    ASSERT_EQ(::chmod(target.c_str(), mode), 0);
    ASSERT_EQ(write_video(s, AudioInput::file(s.audio), target).kind, "");
    EXPECT_EQ(fs::status(target).permissions(), static_cast<fs::perms>(mode));
  }
  WriteScene s;
  ASSERT_EQ(write_video(s, AudioInput::file(s.audio), s.at("new.mp4")).kind, "");
  EXPECT_EQ(fs::status(s.at("new.mp4")).permissions(), static_cast<fs::perms>(0666 & ~umask_now));
}

// A name as long as the file system takes is written. The temporary's name gives up the end of the target's
// name (at a character's boundary), never its own parts, which the sweep of dead writers' files reads.
TEST(Mp4Writer, ANameAsLongAsTheFileSystemTakesIsWritten) {
  std::string two_bytes, four_bytes;
  for (int i = 0; i < 125; ++i) two_bytes += "\xc3\xa9";   // é
  for (int i = 0; i < 62; ++i) four_bytes += "\xf0\x9f\x98\x80";  // 😀
  const std::string names[] = {std::string(251, 'a') + ".mp4", std::string(240, 'b') + ".mp4", two_bytes + ".mp4",
                               four_bytes + ".mp4"};
  const std::string pid = std::to_string(::getpid());
  const RoadScope road(detail::TemporaryRoad::named);
  for (const std::string& name : names) {
    SCOPED_TRACE(std::to_string(name.size()) + " bytes");
    WriteScene s;
    std::string temp;
    const Outcome got = write_grey(s.at(name), {}, before_rename([&](const detail::Mp4Output& out) {
      temp = fs::path(out.temp_path()).filename().string();
    }));
    ASSERT_EQ(got.kind, "") << got.detail;
    EXPECT_EQ(testing::probe_mp4(s.at(name)).frames, 25);
    EXPECT_LE(temp.size(), 255u);
    EXPECT_TRUE(utf8_valid(temp)) << temp;
    const std::size_t tail = temp.find("." + pid + ".");
    ASSERT_NE(tail, std::string::npos) << temp;
    EXPECT_TRUE(temp.ends_with(".part")) << temp;
    EXPECT_GT(tail, 1u);
    EXPECT_TRUE(name.starts_with(temp.substr(1, tail - 1))) << temp;
    EXPECT_EQ(s.temporaries(), std::vector<std::string>{});
  }
  // A byte more is refused before anything renders.
  WriteScene s;
  int frames = 0;
  const Outcome got = write_video(s, AudioInput::file(s.audio), s.at(std::string(252, 'z') + ".mp4"), &frames);
  EXPECT_EQ(got.kind, "Failed");
  EXPECT_NE(got.detail.find("File name too long"), std::string::npos) << got.detail;
  EXPECT_EQ(frames, 0);
}

}  // namespace
}  // namespace velmora
