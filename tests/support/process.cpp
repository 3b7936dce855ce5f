#include "support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <vector>

extern char** environ;

namespace velmora::testing {
namespace {

void make_pipe(int fds[2]) {
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
}

}  // namespace

ProcessResult run_process(const std::vector<std::string>& argv, const std::string& input,
                          const ProcessOptions& options) {
  int in[2], out[2], err[2];
  make_pipe(in), make_pipe(out), make_pipe(err);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);

  std::map<std::string, std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string kv = *e;
    const auto eq = kv.find('=');
    env[kv.substr(0, eq)] = eq == std::string::npos ? "" : kv.substr(eq + 1);
  }
  for (const auto& [k, v] : options.env) {
    if (v)
      env[k] = *v;
    else
      env.erase(k);
  }
  std::vector<std::string> env_text;
  for (const auto& [k, v] : env) env_text.push_back(k + "=" + v);
  std::vector<char*> envp, args;
  for (auto& s : env_text) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> argv_copy = argv;
  for (auto& s : argv_copy) args.push_back(s.data());
  args.push_back(nullptr);

  pid_t pid = 0;
  const int rc = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]), ::close(out[1]), ::close(err[1]);
  if (rc != 0) {
    ::close(in[1]), ::close(out[0]), ::close(err[0]);
    throw std::runtime_error("cannot start " + argv[0]);
  }
  ProcessResult result;
  int fd_in = in[1], fd_out = out[0], fd_err = err[0];
  if (options.close_stdout_early) ::close(fd_out), fd_out = -1;
  if (input.empty()) ::close(fd_in), fd_in = -1;
  // Our writes must never block: a full pipe to a child that is itself blocked writing its output (which we
  // would read next) would otherwise stall both sides.
  if (fd_in >= 0) ::fcntl(fd_in, F_SETFL, ::fcntl(fd_in, F_GETFL) | O_NONBLOCK);
  std::size_t sent = 0;
  // Our side must not die of SIGPIPE when the child stops reading.
  struct sigaction ignore {}, old {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, &old);
  // Large reads: a child's frame records come through a pipe of a megabyte or more.
  std::vector<char> buffer(std::size_t{1} << 20);
  char* buf = buffer.data();
  while (fd_in >= 0 || fd_out >= 0 || fd_err >= 0) {
    pollfd p[3];
    int n = 0;
    if (fd_in >= 0) p[n++] = {fd_in, POLLOUT, 0};
    if (fd_out >= 0) p[n++] = {fd_out, POLLIN, 0};
    if (fd_err >= 0) p[n++] = {fd_err, POLLIN, 0};
    if (::poll(p, n, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < n; ++i) {
      if (p[i].revents == 0) continue;
      if (p[i].fd == fd_in) {
        const ssize_t w = ::write(fd_in, input.data() + sent, std::min<std::size_t>(input.size() - sent, buffer.size()));
        if (w > 0) sent += static_cast<std::size_t>(w);
        if (w < 0 && errno != EINTR && errno != EAGAIN) sent = input.size();
        if (sent == input.size()) ::close(fd_in), fd_in = -1;
      } else {
        const ssize_t r = ::read(p[i].fd, buf, buffer.size());
        if (r > 0) {
          if (p[i].fd == fd_out && options.on_out)
            options.on_out(std::string_view(buf, static_cast<std::size_t>(r)));
          else
            (p[i].fd == fd_out ? result.out : result.err).append(buf, static_cast<std::size_t>(r));
        } else if (r == 0 || errno != EINTR) {
          ::close(p[i].fd);
          (p[i].fd == fd_out ? fd_out : fd_err) = -1;
        }
      }
    }
  }
  ::sigaction(SIGPIPE, &old, nullptr);
  int status = 0;
  rusage usage{};
  while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  result.max_rss_kb = usage.ru_maxrss;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

}  // namespace velmora::testing
