#include "mirel2/ostrand/startup.h"

#include <fcntl.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <system_error>
#include <typeinfo>

#include "common/fd.h"
#include "mirel2/ostrand/exit_status.h"
#include "mirel2/ostrand/host_state.h"
#include "mirel2/ostrand/staging.h"
#include "mirel2/ostrand/stop_signals.h"
#include "mirel2/ostrand/tool_search.h"

namespace velmora::ostrand {
namespace {

std::string own_program_file(const char* argv0) {
  std::error_code ec;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec) return exe.string();
  return argv0 ? argv0 : "tarnhost";
}

void report(const std::string& text) { (void)write_all(2, "tarnhost: unhandled error: " + text + "\n"); }

// The staged-file clean-up at exit; a stop signal from here on has nothing left to clean.
void exit_hook() {
  drop_staged();
  disarm_stop_signals();
}

}  // namespace

void start_up(const char* argv0) {
  // The protocol runs on standard input and output. With either closed the host ends here (status 1, nothing
  // on standard output), before any file it opens could take the free descriptor's place.
  for (const int fd : {0, 1})
    if (::fcntl(fd, F_GETFD) < 0)
      throw std::system_error(errno, std::generic_category(), fd == 0 ? "standard input" : "standard output");
  // A closed standard error would be taken by the next file opened (a bundle, a staged model), and the log
  // written into it: the log goes to /dev/null instead, as an inherited descriptor (no close-on-exec).
  if (::fcntl(2, F_GETFD) < 0) {
    const int fd = ::open("/dev/null", O_WRONLY);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "/dev/null");
    if (fd != 2) {
      ::dup2(fd, 2);
      ::close(fd);
    }
  }
  std::signal(SIGPIPE, SIG_IGN);
  // Before any thread exists, so that every thread keeps the stop signals blocked for the watcher.
  install_stop_signals(drop_staged_for_signal);
  // Standard input and output need no binary-mode switch here: POSIX streams never translate bytes.
  HostState& state = host_state();
  find_tool_module(state, own_program_file(argv0));
  std::atexit(exit_hook);
}

int run_program(int argc, char** argv, const RunFn& run) {
  try {
    start_up(argc > 0 ? argv[0] : nullptr);
    return host_main(std::vector<std::string>(argv, argv + argc), run);
  } catch (const HostExit& e) {
    return e.status;
  } catch (const std::exception& e) {
    report(e.what());
  } catch (...) {
    report("unknown exception");
  }
  return 1;
}

}  // namespace velmora::ostrand
