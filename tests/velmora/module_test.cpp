#include <gtest/gtest.h>

#include "common/pytext.h"
#include "velmora/log.hpp"
#include "velmora/module.h"
#include "velmora/outside.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

namespace velmora::detail {
namespace {

TEST(EngineIdSets, EveryKnownIdIsInExactlyOneSet) {
  struct Case {
    const char* id;
    const EngineIdSet* set;
  };
  const Case cases[] = {
      {"vantor2-light", &SESSION}, {"vantor2-golden", &SESSION}, {"vantor1", &FIXTURE},
      {"mirel2", &LITERT},         {"vantor2-unified", &UNIFIED}, {"vantor3", nullptr},
      {"", nullptr},               {"Mirel2", nullptr},          {"mirel2 ", nullptr},
  };
  const EngineIdSet* all[] = {&SESSION, &FIXTURE, &LITERT, &UNIFIED};
  for (const auto& c : cases) {
    for (const EngineIdSet* set : all) EXPECT_EQ(set->contains(c.id), set == c.set) << py_repr(c.id);
  }
  std::size_t ids = 0;
  for (const EngineIdSet* set : all) ids += set->ids().size();
  EXPECT_EQ(ids, 5u);  // the table above names every member
}

TEST(ServiceCode, OneUpperCaseLetterAndNineUpperCaseLettersOrDigits) {
  struct Case {
    const char* source;
    bool code;
  };
  const Case cases[] = {
      {"ABCDEFGHI1", true},   {"A123456789", true},   {"ABCDEFGHIJ\n", true}, {"ABCDEFGHIJ\n\n", false},
      {"1BCDEFGHIJ", false},  {"abcdefghij", false},  {"ABCDEFGHI", false},   {"ABCDEFGHIJK", false},
      {"ABCDE-GHIJ", false},  {"\nABCDEFGHIJ", false}, {"", false},          {"ABCDEFGHI\xc3\x89", false},
  };
  for (const auto& c : cases) EXPECT_EQ(is_service_code(c.source), c.code) << py_repr(c.source);
}

TEST(TmpFolderName, GivesTheOwnersDigits) {
  struct Case {
    const char* name;
    const char* digits;  // null: no match
  };
  const Case cases[] = {
      {"sha256-ab.tmp.123", "123"}, {"x.tmp.1.tmp.22", "22"}, {"x.tmp.7\n", "7"},      {"x.tmp.99999999999999999999", "99999999999999999999"},
      {".tmp.5", nullptr},          {"x.tmp.", nullptr},      {"x.tmp.12a", nullptr}, {"x.tmp.7\n\n", nullptr},
      {"a\nb.tmp.5", nullptr},      {"x.TMP.5", nullptr},     {"x_tmp.5", nullptr},   {"sha256-ab", nullptr},
  };
  for (const auto& c : cases) {
    const auto got = tmp_owner_digits(c.name);
    if (c.digits) EXPECT_EQ(got, std::optional<std::string_view>(c.digits)) << py_repr(c.name);
    else EXPECT_EQ(got, std::nullopt) << py_repr(c.name);
  }
}

TEST(QuietSetting, FiniteNumbersAreTakenAndAnythingElseFallsBackWithAWarning) {
  struct Case {
    std::optional<std::string_view> text;
    double seconds;
    bool warned;
  };
  const Case cases[] = {
      {std::nullopt, 10.0, false}, {"2.5", 2.5, false},   {" 1e1 ", 10.0, false}, {"0", 0.0, false},
      {"-3", -3.0, false},         {"1_5", 15.0, false},  {"", 10.0, true},       {"  ", 10.0, true},
      {"abc", 10.0, true},         {"nan", 10.0, true},   {"inf", 10.0, true},    {"-Infinity", 10.0, true},
      {"1e999", 10.0, true},       {"10s", 10.0, true},
  };
  for (const auto& c : cases) {
    const QuietSetting s = read_quiet(c.text);
    const std::string label = c.text ? py_repr(*c.text) : "unset";
    EXPECT_EQ(s.seconds, c.seconds) << label;
    EXPECT_EQ(s.warning.has_value(), c.warned) << label;
  }
  EXPECT_EQ(read_quiet("abc").warning,
            "velmora: VELMORA_RENDER_QUIET='abc' is not a finite number of seconds; using 10");
}

// In a child process, so that this process's own first read cannot interfere.
TEST(QuietSetting, IsReadOnceAtFirstUseAndWarnsThen) {
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    std::vector<std::string> warnings;
    set_log_sink({LogLevel::debug, [&](const LogRecord& r) { warnings.emplace_back(r.message); }});
    ::setenv("VELMORA_RENDER_QUIET", "nan", 1);
    const double first = quiet_seconds();
    ::setenv("VELMORA_RENDER_QUIET", "3", 1);
    const double second = quiet_seconds();
    const bool ok = first == 10.0 && second == 10.0 && warnings.size() == 1 &&
                    warnings[0] == "velmora: VELMORA_RENDER_QUIET='nan' is not a finite number of seconds; using 10";
    ::_exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(OutsideModules, TheBuildsOwnServicesComeFirstAndScopesRestore) {
  const auto before = outside();
  // Nothing installed them but the first use.
  EXPECT_TRUE(before->read_manifest && before->mirel2_engine && before->bundled_host && before->unfold_imx &&
              before->session_runtime && before->fixture_runtime);
  {
    Outside fake;
    fake.bundled_host = [] { return std::optional<std::string>("/opt/tarnhost"); };
    ScopedOutside scope(fake);
    const auto now = outside();
    EXPECT_EQ(need(now->bundled_host, NO_HOST_LOOKUP)(), "/opt/tarnhost");
    {
      ScopedOutside inner{Outside{}};
      EXPECT_THROW(need(outside()->bundled_host, NO_HOST_LOOKUP), ImportError);
      EXPECT_TRUE(now->bundled_host);  // a snapshot taken earlier keeps its services
    }
    EXPECT_TRUE(outside()->bundled_host);
  }
  EXPECT_EQ(outside(), before);
}

TEST(OutsideModules, AMissingEngineNamesItsFamily) {
  const struct {
    const EngineIdSet& family;
    const char* message;
  } cases[] = {
      {LITERT, "this build has no engine for \"mirel2\" avatars"},
      {SESSION, "this build has no engine for \"vantor2-light\" or \"vantor2-golden\" avatars"},
      {FIXTURE, "this build has no engine for \"vantor1\" avatars"},
      {UNIFIED, "this build has no engine for \"vantor2-unified\" avatars"},
  };
  const Outside none;
  for (const auto& c : cases) {
    try {
      need(none.mirel2_engine, c.family);
      ADD_FAILURE() << "no ImportError for " << c.message;
    } catch (const ImportError& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
  }
}

}  // namespace
}  // namespace velmora::detail
