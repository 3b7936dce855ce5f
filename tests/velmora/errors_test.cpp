#include <gtest/gtest.h>

#include "velmora/errors.hpp"
#include "velmora/session.hpp"

#include <stdexcept>
#include <string>
#include <system_error>
#include <typeinfo>

namespace velmora {
namespace {

std::exception_ptr caught_runtime_error() {
  try {
    throw std::runtime_error("disk on fire");
  } catch (...) {
    return std::current_exception();
  }
}

// What a caller sees of a refusal it catches as an AvatarError.
struct Seen {
  std::string type;
  std::string message;
  Detail detail;
};

template <class E>
Seen thrown(Detail detail) {
  try {
    throw refuse<E>("that is not a usable avatar", std::move(detail));
  } catch (const AvatarError& e) {
    return {typeid(e).name(), e.what(), e.detail()};
  }
}

TEST(Refuse, BuildsTheClassWithItsMessageAndDetail) {
  const auto cause = caught_runtime_error();
  const Detail details[] = {Detail(), Detail("errno=5"), Detail::of(cause)};
  for (const Detail& d : details) {
    for (const Seen& seen : {thrown<InvalidAvatar>(d), thrown<NotSupported>(d), thrown<Failed>(d)}) {
      EXPECT_EQ(seen.message, "that is not a usable avatar");  // the detail never joins the message
      EXPECT_EQ(seen.detail.empty(), d.empty());
      EXPECT_EQ(seen.detail.is_text(), d.is_text());
      EXPECT_EQ(seen.detail.text(), d.text());
      EXPECT_EQ(seen.detail.exception(), d.exception());
    }
    EXPECT_EQ(thrown<InvalidAvatar>(d).type, typeid(InvalidAvatar).name());
    EXPECT_EQ(thrown<NotSupported>(d).type, typeid(NotSupported).name());
    EXPECT_EQ(thrown<Failed>(d).type, typeid(Failed).name());
  }
  const Detail of_cause = Detail::of(cause);
  EXPECT_TRUE(of_cause.is_exception());
  EXPECT_EQ(of_cause.text(), "disk on fire");
  EXPECT_THROW(std::rethrow_exception(of_cause.exception()), std::runtime_error);
  EXPECT_TRUE(Detail::of(nullptr).empty());
  EXPECT_TRUE(Detail(static_cast<const char*>(nullptr)).is_text());
}

TEST(Refuse, DetailCurrentKeepsTheCaughtExceptionsType) {
  Detail d;
  try {
    throw std::system_error(std::make_error_code(std::errc::permission_denied), "open");
  } catch (...) {
    d = Detail::current();
  }
  try {
    std::rethrow_exception(d.exception());
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code(), std::errc::permission_denied);
    EXPECT_EQ(d.text(), e.what());
  }
}

TEST(ErrorClasses, FormOneTreeUnderAvatarError) {
  // A direct construction has no detail.
  const Failed closed("this avatar is closed");
  EXPECT_TRUE(closed.detail().empty());
  EXPECT_STREQ(closed.what(), "this avatar is closed");

  const Outdated outdated("update the avatar", "E_OLD_7");
  EXPECT_EQ(outdated.code(), "E_OLD_7");
  EXPECT_STREQ(outdated.what(), "update the avatar");
  EXPECT_NE(dynamic_cast<const InvalidAvatar*>(&outdated), nullptr);
  try {
    throw outdated;
  } catch (const AvatarError& e) {
    EXPECT_NE(dynamic_cast<const Outdated*>(&e), nullptr);
  }

  // None of the package's errors is any of the others.
  EXPECT_EQ(dynamic_cast<const NotSupported*>(static_cast<const AvatarError*>(&closed)), nullptr);
  EXPECT_EQ(dynamic_cast<const InvalidAvatar*>(static_cast<const AvatarError*>(&closed)), nullptr);

  const FileNotFound missing("no audio at x.wav");
  EXPECT_STREQ(missing.what(), "no audio at x.wav");
  EXPECT_EQ(missing.code(), std::errc::no_such_file_or_directory);
  EXPECT_NE(dynamic_cast<const std::system_error*>(&missing), nullptr);
}

TEST(SessionErrors, CarryMessageDetailAndCode) {
  const session::EngineFailed failed("the engine stopped", "gpu lost");
  EXPECT_EQ(failed.message(), "the engine stopped");
  EXPECT_EQ(failed.detail().text(), "gpu lost");
  const session::AvatarOutdated outdated("too old", "V3", "built 2021");
  EXPECT_EQ(outdated.code(), "V3");
  EXPECT_EQ(outdated.detail().text(), "built 2021");
  const session::EngineUnavailable unavailable("no GPU");
  EXPECT_TRUE(unavailable.detail().empty());
  // They are the runtime's own errors, not the package's.
  EXPECT_EQ(dynamic_cast<const AvatarError*>(static_cast<const std::exception*>(&failed)), nullptr);
  EXPECT_EQ(session::BYTES_PER_FRAME * session::FPS, 32000);
}

}  // namespace
}  // namespace velmora
