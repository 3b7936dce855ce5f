#pragma once
// A child process whose standard streams are pipes of ours, for callers that talk to it while it runs and
// serve every pipe together (poll), so that neither side can block the other.
//
// Every descriptor of ours is close-on-exec, so a child never inherits another child's pipes. The child starts
// with default handling of SIGPIPE and SIGXFSZ and an empty signal mask.
#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace velmora {

// One owned file descriptor.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& o) noexcept;
  Fd& operator=(Fd&& o) noexcept;
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;

  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }
  void reset();

 private:
  int fd_ = -1;
};

struct ChildStreams {
  bool pipe_stdin = true;   // false: the child reads /dev/null
  bool pipe_stderr = true;  // false: the child writes to our standard error
  // true: the child leads a process group of its own, so the signals a terminal sends to our group (Ctrl-C)
  // do not reach it; it is ended through its pipes or kill() instead.
  bool own_process_group = false;
};

// Whether a process with that id exists (signal 0; a refusal for lack of permission counts as alive). An id
// outside the range of process ids is not alive.
bool pid_alive(long long pid);

// A child's id, and its process group's, stay ours while the child is unreaped (a zombie holds its id), so this
// class never reaps a child behind its owner's back: try_wait and group_running only look, and wait() reaps.
// Once the child is reaped no signal goes to its id or its group's again, as either may name another process by
// then. An application that lets the system reap its children (SIGCHLD ignored) or reaps them itself gives no such
// hold: the child alone is then signalled, through a pidfd, which never names another process, and never its
// group.
class ChildProcess {
 public:
  // Starts argv[0] (looked up on PATH when it holds no "/") with `argv`. Its standard output is always a pipe.
  // Throws std::system_error when it cannot be started (ENOENT when it is not found).
  static ChildProcess spawn(const std::vector<std::string>& argv, ChildStreams streams = {});

  ChildProcess(ChildProcess&& o) noexcept;
  ChildProcess& operator=(ChildProcess&& o) noexcept;
  // A child not reaped yet is killed (SIGKILL, to its whole group when it leads one) and reaped.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  // The pipe ends of ours: into its standard input, from its standard output and standard error (each -1 when
  // it is not a pipe or has been closed). The caller may make them non-blocking.
  int in() const { return in_.get(); }
  int out() const { return out_.get(); }
  int err() const { return err_.get(); }
  void close_in() { in_.reset(); }
  void close_out() { out_.reset(); }
  void close_err() { err_.reset(); }

  // Its exit status, or minus the signal number that ended it (-1 when another reaped it first): try_wait only
  // looks (nothing while it runs) and leaves an ended child unreaped; wait() waits for its end and reaps it.
  // Once known, the status is kept and returned again.
  int wait();
  std::optional<int> try_wait();
  // Sends `signal` to the child until it is reaped.
  void kill(int signal);

  // For a child that leads a process group of its own, the group stands for every process the child started
  // (a wrapper script's programs, say), also after the child itself has ended; otherwise it is the child alone.
  // signal_group sends `signal` to each of them that is left, until the child is reaped; group_running says
  // whether any of them still runs (a zombie counts as ended).
  void signal_group(int signal);
  bool group_running();

 private:
  ChildProcess() = default;
  // Whether the child is ours to signal by its id: not reaped, by us or by anyone else. Records its status once
  // it has ended.
  bool held();
  bool wait_for(int options);
  pid_t pid_ = -1;
  bool own_group_ = false;
  bool reaped_ = false;  // by wait(), or found reaped by another
  std::optional<int> status_;
  // The child itself until it is reaped; -1 where the system has no pidfds, and then its id stands for it,
  // which only a zombie holds once it has ended.
  Fd pidfd_;
  Fd in_, out_, err_;
};

// Writes up to `size` bytes of `data` to `fd` once, with SIGPIPE held off for the call, so that a reader that
// has gone away gives EPIPE instead of ending this process. Returns the bytes written, or -1 with errno set.
long write_nosignal(int fd, const void* data, std::size_t size);

// Makes `fd` non-blocking. Throws std::system_error on failure.
void set_nonblocking(int fd);

}  // namespace velmora
