#pragma once
// The errors of the Avatar API.
//
// AvatarError and its three kinds are what application code catches: every layer that maps failures lets an
// AvatarError through unchanged. A refusal carries a plain-language message (what()) and, separately, a
// technical detail: nothing, a text, or the exception that caused it.
//
// Besides them the API throws: std::system_error for every file operation that fails (with its errno; a
// missing file given by the caller is FileNotFound), TypeError / ValueError for arguments of the wrong kind
// or value, ImportError when this build has no engine for the avatar's family (or lacks another part the
// operation needs), and Cancelled when a render or an open() is stopped through its stop token.
//
// Thread safety: errors are immutable values; copies share their detail, and any thread may read them.
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <type_traits>

#include "velmora/export.hpp"

namespace velmora {

// The technical detail of a refusal.
class VELMORA_API Detail {
 public:
  Detail() = default;  // no detail
  Detail(std::string text) : text_(std::move(text)), kind_(Kind::Text) {}
  Detail(const char* text) : Detail(text ? std::string(text) : std::string()) {}

  // A caught exception; its text is its what() (empty for an exception that is not a std::exception).
  static Detail of(std::exception_ptr error);
  // The exception being handled; call it inside a catch block.
  static Detail current() { return of(std::current_exception()); }

  bool empty() const { return kind_ == Kind::None; }
  bool is_text() const { return kind_ == Kind::Text; }
  bool is_exception() const { return kind_ == Kind::Exception; }
  // The text, or the exception's text; empty when there is no detail.
  const std::string& text() const { return text_; }
  // The exception, or null.
  const std::exception_ptr& exception() const { return error_; }

 private:
  enum class Kind { None, Text, Exception };
  std::string text_;
  std::exception_ptr error_;
  Kind kind_ = Kind::None;
};

// Base of the package's errors. what() is the message alone; the detail is never appended to it.
class VELMORA_API AvatarError : public std::runtime_error {
 public:
  explicit AvatarError(const std::string& message, Detail detail = {})
      : std::runtime_error(message), detail_(std::make_shared<const Detail>(std::move(detail))) {}
  const Detail& detail() const { return *detail_; }

 private:
  std::shared_ptr<const Detail> detail_;  // shared, so copying the error cannot throw
};

// The avatar is missing, empty or unusable.
class VELMORA_API InvalidAvatar : public AvatarError {
 public:
  using AvatarError::AvatarError;
};

// This machine cannot run the avatar, or the source names an avatar held by the service.
class VELMORA_API NotSupported : public AvatarError {
 public:
  using AvatarError::AvatarError;
};

// Preparing the avatar, reading the audio or rendering went wrong, or the avatar is closed.
class VELMORA_API Failed : public AvatarError {
 public:
  using AvatarError::AvatarError;
};

// An engine reported the avatar as outdated; `code` is the engine's own code for it.
class VELMORA_API Outdated : public InvalidAvatar {
 public:
  Outdated(const std::string& message, std::string code)
      : InvalidAvatar(message), code_(std::make_shared<const std::string>(std::move(code))) {}
  const std::string& code() const { return *code_; }

 private:
  std::shared_ptr<const std::string> code_;
};

// The refusal to throw: an E with `message` and `detail`. Builds the error and nothing else (no logging, no
// other effect), so a caller may build one and drop it. Use as `throw refuse<Failed>(message, detail);`.
template <class E>
E refuse(std::string message, Detail detail) {
  static_assert(std::is_same_v<E, InvalidAvatar> || std::is_same_v<E, NotSupported> || std::is_same_v<E, Failed>,
                "refuse builds InvalidAvatar, NotSupported or Failed");
  return E(message, std::move(detail));
}

// A file the caller named does not exist (errno ENOENT); what() is exactly the message.
class VELMORA_API FileNotFound : public std::system_error {
 public:
  explicit FileNotFound(const std::string& message)
      : std::system_error(std::make_error_code(std::errc::no_such_file_or_directory), message),
        message_(std::make_shared<const std::string>(message)) {}
  const char* what() const noexcept override { return message_->c_str(); }

 private:
  std::shared_ptr<const std::string> message_;
};

// An argument of the wrong kind.
class VELMORA_API TypeError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// An argument of the right kind with a value that cannot be used.
class VELMORA_API ValueError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// A render, or an open(), stopped through its stop token (the caller asked for it, from any thread). Not an
// AvatarError: nothing went wrong, so a handler of AvatarError never takes it for a failure. The engine has
// been interrupted (a starting one ended) by the time it is thrown. what() is "the render was cancelled", or
// "opening the avatar was cancelled" from open().
class VELMORA_API Cancelled : public std::runtime_error {
 public:
  Cancelled() : std::runtime_error("the render was cancelled") {}
  // The Cancelled that open() throws.
  static Cancelled opening() { return Cancelled("opening the avatar was cancelled"); }

 private:
  explicit Cancelled(const char* message) : std::runtime_error(message) {}
};

// This build has no engine for the avatar's family, or lacks another part the operation needs; the message
// names what is missing.
class VELMORA_API ImportError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace velmora
