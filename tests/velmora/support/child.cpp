#include "velmora/support/child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

extern char** environ;

namespace velmora::testing {

Child::Child(const std::vector<std::string>& argv) {
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  std::vector<std::string> copy = argv;
  std::vector<char*> args;
  for (auto& a : copy) args.push_back(a.data());
  args.push_back(nullptr);
  const int rc = ::posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  in_ = in[1];
  out_ = out[0];
  if (rc != 0) {
    ::close(in_);
    ::close(out_);
    throw std::runtime_error("cannot start " + argv[0]);
  }
  ::signal(SIGPIPE, SIG_IGN);  // a child that ended early must not end the test
}

Child::~Child() {
  wait();
  if (out_ >= 0) ::close(out_);
}

void Child::write_line(const std::string& line) {
  const std::string text = line + "\n";
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(in_, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw std::runtime_error("cannot write to the child");
    done += static_cast<std::size_t>(n);
  }
}

std::string Child::read_line() {
  while (true) {
    const auto nl = buffered_.find('\n');
    if (nl != std::string::npos) {
      std::string line = buffered_.substr(0, nl);
      buffered_.erase(0, nl + 1);
      return line;
    }
    pollfd p{out_, POLLIN, 0};
    const int ready = ::poll(&p, 1, 300000);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) throw std::runtime_error("the child wrote no line in time");
    char buf[4096];
    const ssize_t n = ::read(out_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("the child's output ended: " + buffered_);
    buffered_.append(buf, static_cast<std::size_t>(n));
  }
}

void Child::close_input() {
  if (in_ >= 0) ::close(in_);
  in_ = -1;
}

int Child::wait() {
  close_input();
  if (pid_ > 0) {
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    pid_ = -1;
  }
  return status_;
}

std::string test_program(const std::string& name) { return std::string(VELMORA_BIN_DIR) + "/" + name; }

}  // namespace velmora::testing
