#include "mirel2/ostrand/staging.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <system_error>

#include "common/bundle.h"
#include "common/env.h"
#include "common/fd.h"
#include "common/py_error.h"
#include "common/pytext.h"
#include "mirel2/ostrand/constants.h"
#include "mirel2/ostrand/host_state.h"

namespace velmora::ostrand {
namespace {

[[noreturn]] void throw_errno(int err, const std::string& path) {
  throw std::system_error(err, std::generic_category(), path);
}

// posixpath.split: the part up to the last "/" (trailing slashes dropped unless it is all slashes) and the rest.
std::pair<std::string, std::string> split_path(const std::string& p) {
  const auto slash = p.rfind('/');
  if (slash == std::string::npos) return {"", p};
  std::string head = p.substr(0, slash + 1), tail = p.substr(slash + 1);
  if (head.find_first_not_of('/') != std::string::npos)
    while (!head.empty() && head.back() == '/') head.pop_back();
  return {head, tail};
}

bool path_exists(const std::string& p) {
  struct stat st {};
  return ::stat(p.c_str(), &st) == 0;
}

// os.makedirs(name, exist_ok=True): parents first; an existing directory is fine, anything else in the way is
// the error of the mkdir that met it.
void make_dirs(const std::string& name) {
  auto [head, tail] = split_path(name);
  if (tail.empty()) std::tie(head, tail) = split_path(head);
  if (!head.empty() && !tail.empty() && !path_exists(head)) {
    try {
      make_dirs(head);
    } catch (const std::system_error& e) {
      if (e.code().value() != EEXIST) throw;
    }
    if (tail == ".") return;
  }
  if (::mkdir(name.c_str(), 0777) != 0) {
    const int err = errno;
    if (!path_is_dir(name)) throw_errno(err, name);
  }
}

// The system's temporary directory: TMPDIR, TEMP or TMP when it names a directory, else /tmp.
std::string default_temp_dir() {
  for (const char* var : {"TMPDIR", "TEMP", "TMP"}) {
    const auto v = env_get(var);
    if (v && !v->empty() && path_is_dir(*v)) return *v;
  }
  return "/tmp";
}

// Staging, release and the exit hook run on the main thread; the clean-up for a signal runs on the signal
// watcher's thread. This lock orders them, and `writing` names the file stage_tflite is filling. Never
// destroyed: a signal may come while the process's static objects go away at exit.
struct StageGuard {
  std::mutex lock;
  std::string writing;
};

StageGuard& guard() {
  static auto* g = new StageGuard;
  return *g;
}

std::string absolute_path(const std::string& p) {
  std::error_code ec;
  const auto abs = std::filesystem::absolute(p, ec);
  return ec ? p : abs.lexically_normal().string();
}

// Writes all of `data` and closes `fd`; on any failure the partial file is deleted before the error goes on, so
// that a full disk never leaves an unlisted model copy behind.
void write_and_close(int fd, const std::string& path, std::string_view data) {
  if (const int err = write_all(fd, data)) {
    ::close(fd);
    ::unlink(path.c_str());
    throw_errno(err, path);
  }
  if (::close(fd) != 0) {
    const int err = errno;
    ::unlink(path.c_str());
    throw_errno(err, path);
  }
}

}  // namespace

std::optional<std::string> stage_dir() {
  const std::string d(trim_blanks(env_get(STAGE_DIR_ENV.data()).value_or("")));
  if (d.empty()) return std::nullopt;
  try {
    make_dirs(d);
    return d;
  } catch (const std::system_error& e) {
    elog({std::string(STAGE_DIR_ENV) + "=" + py_repr(d) + " unusable (" + py_error_text(e).message +
          ") \u2014 staging in the default temp dir instead"});
    return std::nullopt;
  }
}

std::string stage_tflite(const std::string& bundle, std::string_view nm, std::string_view data) {
  if (path_is_dir(bundle)) {
    std::string own = path_join(bundle, nm);
    if (path_is_file(own)) return own;
  }
  const std::string dir = stage_dir().value_or(default_temp_dir());
  std::string suffix = "_";
  suffix += path_basename(nm);
  std::string path = absolute_path(path_join(dir, "tmpXXXXXX" + suffix));
  int fd = -1;
  {
    const std::lock_guard<std::mutex> hold(guard().lock);
    fd = ::mkostemps(path.data(), static_cast<int>(suffix.size()), O_CLOEXEC);
    if (fd < 0) throw_errno(errno, path);
    guard().writing = path;
  }
  try {
    write_and_close(fd, path, data);
  } catch (...) {
    const std::lock_guard<std::mutex> hold(guard().lock);
    guard().writing.clear();
    throw;
  }
  const std::lock_guard<std::mutex> hold(guard().lock);
  guard().writing.clear();
  host_state().staged.push_back(path);
  return path;
}

void release_staged(std::vector<std::string> paths) {
  const std::lock_guard<std::mutex> hold(guard().lock);
  auto& staged = host_state().staged;
  for (const auto& path : paths) {
    const auto it = std::find(staged.begin(), staged.end(), path);
    if (it == staged.end()) continue;
    // unlink, not std::filesystem::remove: the latter would also delete an empty directory of that name.
    if (::unlink(path.c_str()) != 0) continue;
    staged.erase(it);
  }
}

namespace {

void drop_listed() {
  auto& staged = host_state().staged;
  while (!staged.empty()) {
    const std::string path = std::move(staged.back());
    staged.pop_back();
    ::unlink(path.c_str());
  }
}

}  // namespace

void drop_staged() {
  const std::lock_guard<std::mutex> hold(guard().lock);
  drop_listed();
}

void drop_staged_for_signal() {
  guard().lock.lock();  // kept until the process ends
  if (!guard().writing.empty()) ::unlink(guard().writing.c_str());
  drop_listed();
}

}  // namespace velmora::ostrand
