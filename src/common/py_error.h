#pragma once
// Failures named the way Python names them, for messages that show "{class}: {text}" of an error: the OSError
// subclass an errno raises and its "[Errno N] text: 'file'" form, and a class name for our own exceptions.
#include <exception>
#include <stdexcept>
#include <string>
#include <string_view>

#include "common/pytext.h"

namespace velmora {

// Python's lookup error for a missing key or member. Its text is the key's repr, as str(KeyError('x')) is.
// Invalid values (Python's ValueError and TypeError) are std::invalid_argument.
class KeyError : public std::out_of_range {
 public:
  explicit KeyError(const std::string& key) : std::out_of_range(py_repr(key)), key_(key) {}
  const std::string& key() const { return key_; }

 private:
  std::string key_;
};

// A failure that carries the Python class name it stands for ("AttributeError", "IndexError", ...).
class PyError : public std::runtime_error {
 public:
  PyError(std::string python_class, const std::string& message)
      : std::runtime_error(message), class_name_(std::move(python_class)) {}
  const std::string& python_class() const { return class_name_; }

 private:
  std::string class_name_;
};

// The OSError subclass Python raises for `err`: FileNotFoundError for ENOENT, PermissionError for EACCES and
// EPERM, and so on; "OSError" for the rest.
std::string py_os_error_class(int err);

// str() of that OSError: "[Errno 2] No such file or directory: 'path'" (without the file part when `filename`
// is empty).
std::string py_os_error_text(int err, std::string_view filename);

struct PyErrorText {
  std::string kind;     // Python class name
  std::string message;  // str() of the error
};

// The class and text of a caught exception: a std::system_error (whose what() is "<file>: <message>", as our
// file operations throw it) as its OSError; PyError and errors that know their Python class under that class;
// std::bad_alloc as MemoryError, std::invalid_argument as ValueError, anything else as RuntimeError.
PyErrorText py_error_text(const std::exception& e);

}  // namespace velmora
