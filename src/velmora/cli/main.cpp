// velmora: the command line of the Avatar API (see command.h).
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <stop_token>
#include <string>
#include <vector>

#include "velmora/cli/command.h"

int main(int argc, char** argv) {
  // A supervisor that ignores SIGCHLD passes that on; the children this program starts are waited for.
  ::signal(SIGCHLD, SIG_DFL);
  std::stop_source stop;
  velmora::cli::SignalStop signals(stop);
  const velmora::cli::Io io{stdout, stderr, ::isatty(STDERR_FILENO) == 1};
  const int status = velmora::cli::run(std::vector<std::string>(argv + 1, argv + argc), io, stop.get_token());
  // An interrupted render ends as the signal asked, once its file is gone; a video in place is a success.
  if (status != velmora::cli::OK) signals.reraise();
  return status;
}
