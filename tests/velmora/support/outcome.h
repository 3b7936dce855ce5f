#pragma once
// What a call ended with, for tests that check the class, message and detail of the Avatar API's errors.
#include <exception>
#include <functional>
#include <stdexcept>
#include <string>

#include "velmora/errors.hpp"

namespace velmora::testing {

// What came out of a render (or of a call): the error's class, message and detail.
struct Outcome {
  std::string kind;  // empty when nothing was thrown
  std::string message;
  std::string detail;
  std::string detail_kind;  // the class of the detail's exception, empty for none
};

inline std::string kind_of(const std::exception_ptr& e) {
  if (!e) return "";
  try {
    std::rethrow_exception(e);
  } catch (const NotSupported&) {
    return "NotSupported";
  } catch (const InvalidAvatar&) {
    return "InvalidAvatar";
  } catch (const Failed&) {
    return "Failed";
  } catch (const FileNotFound&) {
    return "FileNotFound";
  } catch (const TypeError&) {
    return "TypeError";
  } catch (const ValueError&) {
    return "ValueError";
  } catch (const ImportError&) {
    return "ImportError";
  } catch (const Cancelled&) {
    return "Cancelled";
  } catch (const std::runtime_error&) {
    return "runtime_error";
  } catch (int) {
    return "int";
  } catch (...) {
    return "other";
  }
}

inline Outcome outcome_of(const std::exception_ptr& e) {
  Outcome o{kind_of(e), "", "", ""};
  try {
    std::rethrow_exception(e);
  } catch (const AvatarError& a) {
    o.message = a.what();
    o.detail = a.detail().text();
    o.detail_kind = kind_of(a.detail().exception());
  } catch (const std::exception& x) {
    o.message = x.what();
  } catch (...) {
  }
  return o;
}

inline Outcome attempt(const std::function<void()>& f) {
  try {
    f();
  } catch (...) {
    return outcome_of(std::current_exception());
  }
  return {};
}

}  // namespace velmora::testing
