#pragma once
// How the host ends on a signal. SIGINT and SIGTERM are an orderly end: the staged-file clean-up runs, then the
// process ends by that same signal with its default action, so that the peer sees the status it expects.
// SIGXFSZ is ignored, so that a write beyond the file size limit fails with EFBIG and ends as an error.
//
// A signal handler may only do async-signal-safe work, and the clean-up is not that (it takes a lock, walks a
// list of strings). So the two signals are blocked in every thread and taken by one watcher thread with
// sigwait: the clean-up runs there as ordinary code, whatever the main thread is doing (even a long model
// load), and the lock it takes orders it with staging on the main thread.

namespace velmora::ostrand {

// Blocks SIGINT and SIGTERM in the calling thread (and so in every thread it starts later: call it before
// any other thread exists), ignores SIGXFSZ, and starts the watcher, which on either signal runs `cleanup`
// once and re-raises the signal. A stop signal the process was started ignoring stays ignored (with both
// ignored, no watcher starts). Call once per process.
void install_stop_signals(void (*cleanup)());

// After this, a signal ends the process without running the clean-up: for the exit path, once the clean-up
// has run there and before the state it reads goes away. Waits for a clean-up that is already running.
void disarm_stop_signals();

}  // namespace velmora::ostrand
