#pragma once
// The render host's process-wide state: one object, made at start-up, instead of module globals.
// Everything here runs on the main thread except where a field says otherwise.
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/log_line.h"
#include "mirel2/ostrand/rgb_pool.h"
#include "mirel2/ostrand/shared_enc_dep.h"

namespace velmora::ostrand {

struct HostState {
  // Diagnostic lines on standard error: "[tarnhost] part part ...".
  TaggedLog log{"[tarnhost]", 2};

  // Staged temporary model files not yet deleted, in staging order. Only staging appends; release and the
  // exit hook remove. No lock: staging, release and exit all run on the main thread.
  std::vector<std::string> staged;

  // The shared-encoder tool plug-in, or null when neither load attempt succeeded; and the loader's failure
  // text, or the directory whose attempt succeeded ("" only before the search ran).
  std::unique_ptr<SharedEncDep> sed;
  std::string sed_why;
  // The plug-in search path: directories tried in order when the plug-in is loaded.
  std::vector<std::string> plugin_path;

  // The RGB conversion's worker pool, made by the first multi-worker conversion (from the main thread; the slot
  // has its own lock). Declared last, so that it is the first to go at exit: its threads are joined then.
  RgbPoolSlot rgb_pool;
};

// The process's state. Tests may replace its fields freely between cases.
HostState& host_state();

// One diagnostic line through host_state().log. A failed write throws std::system_error (EPIPE, EBADF): the
// caller gets the error, as a failed write of a log line must not pass unnoticed.
void elog(std::initializer_list<std::string_view> parts);

}  // namespace velmora::ostrand
