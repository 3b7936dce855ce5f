#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "support/temp_dir.h"
#include "velmora/engines.h"
#include "velmora/errors.hpp"
#include "velmora/fixture.h"
#include "velmora/open.hpp"
#include "velmora/outside.h"
#include "velmora/session.hpp"
#include "velmora/support/fake_engine.h"
#include "velmora/v2u_engine.h"

namespace velmora {
namespace {

using detail::CANNOT_RUN;
using detail::Outside;
using detail::ScopedOutside;
using testing::FakeEngine;
using testing::TempDir;

// What a call threw: its class, message and detail.
struct Thrown {
  Thrown(std::string k = {}, std::string m = {}, std::string d = {}, std::string c = {})
      : kind(std::move(k)), message(std::move(m)), detail(std::move(d)), code(std::move(c)) {}
  std::string kind;
  std::string message;
  std::string detail;
  std::string code;  // of an Outdated
  bool operator==(const Thrown&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Thrown& t) {
  return os << t.kind << ": " << t.message << " [" << t.detail << "]" << (t.code.empty() ? "" : " code=" + t.code);
}

Thrown thrown_by(const std::function<void()>& f) {
  try {
    f();
  } catch (const Outdated& e) {
    return {"Outdated", e.what(), e.detail().text(), e.code()};
  } catch (const NotSupported& e) {
    return {"NotSupported", e.what(), e.detail().text()};
  } catch (const InvalidAvatar& e) {
    return {"InvalidAvatar", e.what(), e.detail().text()};
  } catch (const Failed& e) {
    return {"Failed", e.what(), e.detail().text()};
  } catch (const session::AvatarOutdated& e) {
    return {"AvatarOutdated", e.what(), e.detail().text(), e.code()};
  } catch (const ImportError& e) {
    return {"ImportError", e.what()};
  } catch (const ValueError& e) {
    return {"ValueError", e.what()};
  } catch (const Cancelled& e) {
    return {"Cancelled", e.what()};
  } catch (const std::exception& e) {
    return {"other", e.what()};
  }
  return {};
}

// Services whose manifest reader answers `engine` for every source and whose engines are fakes, counting what
// was built.
struct Services {
  std::string engine = "mirel2";
  std::function<void()> mirel2_fails;  // thrown from the mirel-2 engine's construction
  std::function<void()> v2u_fails;
  bool host = false;
  int built = 0;
  std::vector<std::string> v2u_folders;

  Outside outside() {
    Outside o;
    o.read_manifest = [](const std::string&) { return std::optional<json::Value>(json::Value::object({})); };
    o.resolve_engine = [this](const json::Value&) { return engine; };
    o.mirel2_engine = [this](const std::string&, std::stop_token) -> std::unique_ptr<Engine> {
      if (mirel2_fails) mirel2_fails();
      ++built;
      return std::make_unique<FakeEngine>();
    };
    o.bundled_host = [this]() -> std::optional<std::string> {
      if (host) return "/bin/tarnhost";
      return std::nullopt;
    };
    o.v2u_engine = [this](const std::string& folder) -> std::unique_ptr<Engine> {
      v2u_folders.push_back(folder);
      if (v2u_fails) v2u_fails();
      ++built;
      return std::make_unique<FakeEngine>();
    };
    return o;
  }
};

TEST(Open, PathsThatNameNoAvatar) {
  ScopedOutside scope(Outside{});
  const std::string service =
      "ABCDEFGHI1 names an avatar held by the service, and this package renders an avatar that is on this machine. "
      "Run `python -m velmora render ABCDEFGHI1 <audio>` to fetch it and render it here, or render it in the cloud "
      "with the Oblera API (POST /v1/video/generate).";
  const struct {
    std::string source;
    Thrown expected;
  } cases[] = {
      {"", {"InvalidAvatar", "open() needs an avatar to open"}},
      {"ABCDEFGHI1", {"NotSupported", service}},
      {"abcdefghi1", {"InvalidAvatar", "no avatar at abcdefghi1"}},
      {"ABCDEFGHI", {"InvalidAvatar", "no avatar at ABCDEFGHI"}},
      {"ABCDEFGHI12", {"InvalidAvatar", "no avatar at ABCDEFGHI12"}},
      {"1BCDEFGHIJ", {"InvalidAvatar", "no avatar at 1BCDEFGHIJ"}},
      {"/nonexistent/avatar", {"InvalidAvatar", "no avatar at /nonexistent/avatar"}},
  };
  for (const auto& c : cases) EXPECT_EQ(thrown_by([&] { open(c.source); }), c.expected) << c.source;
}

// A stop before the call, or while the engine starts (a render host loading its model), ends open() with a
// Cancelled that says what was cancelled: the opening, not a render.
TEST(Open, AStoppedOpenSaysTheOpeningWasCancelled) {
  TempDir dir;
  const std::string avatar = dir.write("m2.zip", "x");
  for (const bool host_bundled : {false, true}) {
    for (const bool before : {false, true}) {
      Services s;
      s.host = host_bundled;
      std::stop_source stop;
      if (before) stop.request_stop();
      s.mirel2_fails = [&] {
        stop.request_stop();
        throw Cancelled();  // as the mirel-2 adapter throws it
      };
      ScopedOutside scope(s.outside());
      EXPECT_EQ(thrown_by([&] { open(avatar, stop.get_token()); }),
                (Thrown{"Cancelled", "opening the avatar was cancelled"}))
          << host_bundled << before;
    }
  }
}

TEST(Open, AnExistingPathShapedLikeAServiceCodeIsOpened) {
  TempDir dir;
  dir.write("ABCDEFGHI1", "x");
  Services s;
  s.engine = "vantor3";
  ScopedOutside scope(s.outside());
  const std::string cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  const Thrown got = thrown_by([] { open("ABCDEFGHI1"); });
  std::filesystem::current_path(cwd);
  EXPECT_EQ(got, (Thrown{"NotSupported", CANNOT_RUN}));  // it got as far as its engine id
}

TEST(Open, ManifestReaderFailures) {
  TempDir dir;
  const std::string file = dir.write("avatar", "x");
  Services s;
  Outside o = s.outside();
  o.read_manifest = [](const std::string&) -> std::optional<json::Value> {
    throw std::system_error(std::make_error_code(std::errc::permission_denied), "avatar");
  };
  {
    ScopedOutside scope(o);
    EXPECT_EQ(thrown_by([&] { open(file); }),
              (Thrown{"InvalidAvatar", "that is not a usable avatar", "avatar: Permission denied"}));
  }
  o.read_manifest = [](const std::string&) -> std::optional<json::Value> { throw ValueError("odd"); };
  {
    ScopedOutside scope(o);
    EXPECT_EQ(thrown_by([&] { open(file); }), (Thrown{"ValueError", "odd"}));
  }
  o.read_manifest = nullptr;
  ScopedOutside scope(o);
  EXPECT_EQ(thrown_by([&] { open(file); }), (Thrown{"ImportError", "this build has no avatar manifest reader"}));
}

// A fixture runtime that counts the fixtures it loads.
class CountingFixtures : public detail::FixtureRuntime {
 public:
  bool engine_only_ = false;
  int loads = 0;
  bool engine_only() const override { return engine_only_; }
  void register_default_audio_encoder() override {}
  int default_threads() override { return 1; }
  std::shared_ptr<detail::NativeFixture> load_fixture(const std::string&, int, int) override {
    ++loads;
    return std::make_shared<detail::NativeFixture>();
  }
  std::unique_ptr<detail::NativeRuntime> make_runtime(std::shared_ptr<detail::NativeFixture>) override {
    return nullptr;
  }
};

TEST(Open, AnAvatarWithoutAManifestIsAFixtureAvatar) {
  TempDir dir;
  const std::string file = dir.write("plain.bin", "no manifest here");
  Services s;
  Outside o = s.outside();
  o.read_manifest = [](const std::string&) { return std::optional<json::Value>(); };
  o.resolve_engine = [](const json::Value& m) { return m.is_null() ? std::string("vantor1") : std::string("?"); };
  auto fixtures = std::make_shared<CountingFixtures>();
  o.fixture_runtime = fixtures;
  ScopedOutside scope(o);
  Avatar a = open(file);
  EXPECT_EQ(a.engine_id(), "vantor1");
  EXPECT_EQ(fixtures->loads, 1);
  fixtures->engine_only_ = true;
  EXPECT_EQ(thrown_by([&] { open(file); }), (Thrown{"NotSupported", CANNOT_RUN}));
  EXPECT_EQ(fixtures->loads, 1);  // refused before any engine was built
}

TEST(Open, EngineIdsNoFamilyServes) {
  TempDir dir;
  Services s;
  ScopedOutside scope(s.outside());
  for (const std::string id : {"vantor3", "", "MIREL2"}) {
    s.engine = id;
    EXPECT_EQ(thrown_by([&] { open(dir.str()); }), (Thrown{"NotSupported", CANNOT_RUN})) << id;
  }
  EXPECT_EQ(s.built, 0);
  // A built engine is wrapped as it is, whatever the id.
  auto log = std::make_shared<testing::EngineLog>();
  Avatar a = detail::open_engine("x", "vantor3", std::make_unique<FakeEngine>(testing::EngineScript{}, log));
  EXPECT_EQ(a.engine_id(), "vantor3");
  a.close();
  EXPECT_EQ(log->count("close"), 1);
}

TEST(Open, Mirel2ConstructionFailuresOnBothRoads) {
  TempDir dir;
  const std::string file = dir.write("m2.zip", "x");
  const std::system_error gone(std::make_error_code(std::errc::no_such_file_or_directory), "m2.zip");
  const struct {
    const char* name;
    std::function<void()> fails;
    Thrown eager;  // a host program is bundled: built ahead of the avatar
    Thrown lazy;
  } cases[] = {
      {"unavailable", [] { throw session::EngineUnavailable("cannot run here", "no host"); },
       {"NotSupported", "cannot run here", "no host"}, {"NotSupported", "cannot run here", "no host"}},
      {"failed", [] { throw session::EngineFailed("it broke", "status 1"); },
       {"Failed", "it broke", "status 1"}, {"Failed", "it broke", "status 1"}},
      {"outdated", [] { throw session::AvatarOutdated("too old", "v1", "made 2020"); },
       {"AvatarOutdated", "too old", "made 2020", "v1"}, {"Outdated", "too old", "", "v1"}},
      {"oserror", [&] { throw gone; },
       {"Failed", "could not prepare that avatar", "m2.zip: No such file or directory"},
       {"Failed", "could not prepare that avatar", "m2.zip: No such file or directory"}},
      {"package error", [] { throw InvalidAvatar("bad bundle", "FATAL"); },
       {"InvalidAvatar", "bad bundle", "FATAL"}, {"InvalidAvatar", "bad bundle", "FATAL"}},
      {"other", [] { throw ValueError("odd"); }, {"ValueError", "odd"}, {"ValueError", "odd"}},
  };
  for (const auto& c : cases) {
    for (bool host : {true, false}) {
      Services s;
      s.host = host;
      s.mirel2_fails = c.fails;
      ScopedOutside scope(s.outside());
      EXPECT_EQ(thrown_by([&] { open(file); }), host ? c.eager : c.lazy) << c.name << " host=" << host;
    }
  }
}

TEST(Open, WithoutTheMirel2EngineTheHostLookupAnswersNo) {
  TempDir dir;
  Services s;
  s.host = true;
  Outside o = s.outside();
  o.mirel2_engine = nullptr;
  {
    ScopedOutside scope(o);
    EXPECT_TRUE(detail::render_host_found());
    EXPECT_EQ(thrown_by([&] { open(dir.str()); }), (Thrown{"ImportError", "this build has no engine for \"mirel2\" avatars"}));
  }
  o.bundled_host = []() -> std::optional<std::string> { throw std::runtime_error("lookup failed"); };
  {
    ScopedOutside scope(o);
    EXPECT_FALSE(detail::render_host_found());
  }
  o.bundled_host = nullptr;
  ScopedOutside scope(o);
  EXPECT_FALSE(detail::render_host_found());
}

TEST(Open, UnifiedConstructionOnTheUnpackedFolder) {
  TempDir dir;
  const std::string folder = dir.str();
  const struct {
    const char* name;
    std::function<void()> fails;
    Thrown expected;
  } cases[] = {
      {"unavailable with cause",
       [] { throw V2UUnavailable("no unified engine here", std::make_exception_ptr(std::runtime_error("no ORT"))); },
       {"NotSupported", "no unified engine here", "no ORT"}},
      {"invalid without cause", [] { throw V2UInvalid("not a unified avatar"); },
       {"InvalidAvatar", "not a unified avatar", ""}},
      {"other", [] { throw std::out_of_range("x"); }, {"other", "x"}},
  };
  for (const auto& c : cases) {
    Services s;
    s.engine = "vantor2-unified";
    s.v2u_fails = c.fails;
    ScopedOutside scope(s.outside());
    EXPECT_EQ(thrown_by([&] { open(folder); }), c.expected) << c.name;
    EXPECT_EQ(s.v2u_folders, std::vector<std::string>{folder});  // a folder is its own unpacked avatar
  }
  Services s;
  s.engine = "vantor2-unified";
  Outside o = s.outside();
  o.v2u_engine = nullptr;
  ScopedOutside scope(o);
  EXPECT_EQ(thrown_by([&] { open(folder); }), (Thrown{"ImportError", "this build has no engine for \"vantor2-unified\" avatars"}));
}

TEST(Open, SessionFamiliesMapTheRuntimesFailures) {
  TempDir dir;
  dir.write("manifest.json", "{}");
  const struct {
    std::function<void()> fails;
    Thrown expected;
  } cases[] = {
      {[] { throw session::AvatarOutdated("please update it", "format-3", "needs format 4"); },
       {"Outdated", "please update it", "", "format-3"}},
      {[] { throw session::EngineUnavailable("no session runtime here", "gpu"); },
       {"NotSupported", "no session runtime here", "gpu"}},
      {[] { throw session::EngineFailed("session broke", "x"); }, {"Failed", "session broke", "x"}},
  };
  for (const auto& c : cases) {
    Services s;
    s.engine = "vantor2-light";
    Outside o = s.outside();
    o.session_runtime = [&](const std::string&, const json::Value&) -> std::unique_ptr<session::Session> {
      c.fails();
      return nullptr;
    };
    ScopedOutside scope(o);
    EXPECT_EQ(thrown_by([&] { open(dir.str()); }), c.expected);
  }
}

}  // namespace
}  // namespace velmora
