#include "common/py_error.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <system_error>

#include "common/json.h"
#include "common/pytext.h"

namespace velmora {

std::string py_os_error_class(int err) {
  switch (err) {
    case EAGAIN: case EALREADY: case EINPROGRESS: return "BlockingIOError";
    case ECHILD: return "ChildProcessError";
    case EPIPE: case ESHUTDOWN: return "BrokenPipeError";
    case ECONNABORTED: return "ConnectionAbortedError";
    case ECONNREFUSED: return "ConnectionRefusedError";
    case ECONNRESET: return "ConnectionResetError";
    case EEXIST: return "FileExistsError";
    case ENOENT: return "FileNotFoundError";
    case EINTR: return "InterruptedError";
    case EISDIR: return "IsADirectoryError";
    case ENOTDIR: return "NotADirectoryError";
    case EACCES: case EPERM: return "PermissionError";
    case ESRCH: return "ProcessLookupError";
    case ETIMEDOUT: return "TimeoutError";
    default: return "OSError";
  }
}

std::string py_os_error_text(int err, std::string_view filename) {
  std::string text = "[Errno " + std::to_string(err) + "] " + std::strerror(err);
  if (!filename.empty()) text += ": " + py_repr(filename);
  return text;
}

PyErrorText py_error_text(const std::exception& e) {
  if (const auto* p = dynamic_cast<const PyError*>(&e)) return {p->python_class(), p->what()};
  if (const auto* j = dynamic_cast<const json::Error*>(&e)) return {j->python_class(), j->what()};
  if (const auto* s = dynamic_cast<const std::system_error*>(&e)) {
    const int err = s->code().value();
    // what() is "<file>: <message>" when the error was made with the file's name, else the message alone.
    std::string_view what = s->what();
    const std::string suffix = ": " + s->code().message();
    std::string_view file;
    if (what.size() > suffix.size() && what.substr(what.size() - suffix.size()) == suffix)
      file = what.substr(0, what.size() - suffix.size());
    if (s->code().category() == std::generic_category() || s->code().category() == std::system_category())
      return {py_os_error_class(err), py_os_error_text(err, file)};
  }
  if (dynamic_cast<const std::bad_alloc*>(&e)) return {"MemoryError", ""};
  if (dynamic_cast<const std::invalid_argument*>(&e)) return {"ValueError", e.what()};
  return {"RuntimeError", e.what()};
}

}  // namespace velmora
