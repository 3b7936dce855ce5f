// Ctrl-C during a render in the main thread.
//
// Python runs signal handlers in the main thread, between bytecodes. A main thread waiting inside the engine
// with the GIL released (for the render host's next frame, say) would see a Ctrl-C only once that frame had
// come. So while the main thread has a live render, the module's pipe is the interpreter's signal wakeup fd
// (signal.set_wakeup_fd): the interpreter's C handler writes each signal's number there, and a watcher thread
// reading it asks the stop source of the render call in progress to stop. It does so for a signal whose handler
// was, when the call began, Python's default_int_handler, the one that raises KeyboardInterrupt: SIGINT's by
// default, SIGTERM's and SIGHUP's when the application gives them that handler (python3 -m velmora does). A
// handler of the application's own decides for itself, between frames. The engine wakes, is interrupted once, and the call
// ends with Cancelled; back under the GIL, PyErr_CheckSignals runs the handler, which raises KeyboardInterrupt
// in the caller's loop, and the avatar is ready for its next render.
//
// Every byte is passed on to the wakeup fd the application had set (asyncio's, say), which thus sees its
// signals as before. The fd is set at the first render call of the main thread and given back when the main
// thread's last live render ends; a wakeup fd the application sets in between is left in place (a Ctrl-C is
// then seen at the next frame). Renders in other threads are never stopped: Python handles signals in the main
// thread only.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include "binding.h"

namespace velmora::python {
namespace {

// What the watcher shares with the main thread.
struct Watch {
  std::mutex m;
  std::optional<std::stop_source> target;  // the main thread's render call in progress, if any
  unsigned stopping = 0;                   // bit s set: signal s stops it
  int forward = -1;                        // the application's wakeup fd, or -1
  // The pipe is two plain descriptors, not owners: it lives as long as the process (the watcher reads it to
  // the end, and the interpreter's signal handler may write to it at any moment), so no Watch is ever
  // destroyed; a forked child, whose copy of the mutex may have been held at the fork, closes its copies by
  // hand and abandons its copy of the struct, running no destructor.
  int read_end = -1;
  int write_end = -1;
};

// Made at the first render call of the main thread; never freed, as its thread runs until the process ends.
Watch* watch = nullptr;

// Under the GIL. The signal functions are _signal's own: signal.getsignal wraps its answer in an enum lookup
// that costs microseconds, and it is asked at every frame.
struct Interpreter {
  unsigned long main_thread = 0;
  PyObject* set_wakeup_fd = nullptr;
  PyObject* getsignal = nullptr;
  PyObject* default_handler = nullptr;  // signal.default_int_handler
  PyObject* signal_numbers[3] = {};     // STOP_SIGNALS as Python ints
  int holders = 0;                      // live renders of the main thread that hold the wakeup fd
  bool installed = false;               // the wakeup fd is ours
  int generation = 1;                   // of the holds: a forked child starts a new one
} py_state;

MainCall* current_call = nullptr;  // the innermost MainCall of the main thread (GIL held)

void watch_loop(Watch* w) {
  unsigned char bytes[64];
  for (;;) {
    const ssize_t n = ::read(w->read_end, bytes, sizeof bytes);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    const std::lock_guard<std::mutex> lock(w->m);
    for (ssize_t i = 0; i < n; ++i) {
      if (w->target && bytes[i] < 32 && (w->stopping >> bytes[i] & 1u)) w->target->request_stop();
    }
    // Non-blocking, as a wakeup fd must be: when it is full the bytes are dropped, as Python itself drops them.
    if (w->forward >= 0 && ::write(w->forward, bytes, static_cast<std::size_t>(n)) < 0) continue;
  }
}

Watch& started_watch() {
  if (watch) return *watch;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe2");
  if (::fcntl(fds[1], F_SETFL, O_NONBLOCK) != 0) {
    const int e = errno;
    ::close(fds[0]);
    ::close(fds[1]);
    throw std::system_error(e, std::generic_category(), "fcntl");
  }
  auto* w = new Watch;
  w->read_end = fds[0];
  w->write_end = fds[1];
  // The watcher takes no signal, so they keep going to the threads that wait for them.
  sigset_t all, before;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &before);
  std::thread(watch_loop, w).detach();
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  watch = w;
  return *w;
}

int call_set_wakeup_fd(int fd) {
  py::object old = py::reinterpret_steal<py::object>(PyObject_CallOneArg(py_state.set_wakeup_fd, py::int_(fd).ptr()));
  if (!old) throw py::error_already_set();
  return old.cast<int>();
}

bool main_thread() { return PyThread_get_thread_ident() == py_state.main_thread; }

constexpr int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

// The signals (bit s for signal s) whose handler raises KeyboardInterrupt now.
unsigned interrupting_signals() {
  unsigned mask = 0;
  for (int i = 0; i < 3; ++i) {
    py::object handler =
        py::reinterpret_steal<py::object>(PyObject_CallOneArg(py_state.getsignal, py_state.signal_numbers[i]));
    if (!handler) throw py::error_already_set();
    if (handler.ptr() == py_state.default_handler) mask |= 1u << STOP_SIGNALS[i];
  }
  return mask;
}

void hold_wakeup_fd() {
  Watch& w = started_watch();
  if (py_state.holders == 0 && !py_state.installed) {
    const int old = call_set_wakeup_fd(w.write_end);
    const std::lock_guard<std::mutex> lock(w.m);
    w.forward = old == w.write_end ? -1 : old;
    py_state.installed = true;
  }
  ++py_state.holders;
}

// Gives the application's wakeup fd back (main thread, GIL held, no holder left); never throws.
void give_back_wakeup_fd() {
  Watch& w = *watch;
  int theirs;
  {
    const std::lock_guard<std::mutex> lock(w.m);
    theirs = std::exchange(w.forward, -1);
  }
  py_state.installed = false;
  try {
    const int current = call_set_wakeup_fd(theirs);
    if (current != w.write_end) call_set_wakeup_fd(current);  // set by the application since: it stays
  } catch (py::error_already_set&) {
    // Their fd is no longer valid: no wakeup fd then, as it cannot be theirs.
    PyErr_Clear();
    try {
      call_set_wakeup_fd(-1);
    } catch (py::error_already_set&) {
      PyErr_Clear();
    }
  }
}

// A child forked during a render has no watcher: it gets the application's wakeup fd back, and the pipe it
// shares with its parent is closed. Holds of renders it inherited no longer count.
void after_fork_in_child() {
  py_state.main_thread = PyThread_get_thread_ident();  // the forking thread is the child's main thread
  ++py_state.generation;
  py_state.holders = 0;
  if (!watch) return;
  const int theirs = watch->forward;
  if (py_state.installed) {
    py_state.installed = false;
    try {
      call_set_wakeup_fd(theirs);
    } catch (py::error_already_set&) {
      PyErr_Clear();
    }
  }
  ::close(watch->read_end);
  ::close(watch->write_end);
  watch = nullptr;  // the parent's, copied; its mutex may have been held by the watcher at the fork
}

// A KeyboardInterrupt raised by default_int_handler called from C: no frame of Python code is in its traceback.
bool plain_interrupt(const py::error_already_set& error) {
  return error.type().ptr() == PyExc_KeyboardInterrupt && !error.trace();
}

}  // namespace

void CtrlC::init() {
  py::module_ signal = py::module_::import("_signal");
  py_state.main_thread = py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
  py_state.set_wakeup_fd = forever(signal.attr("set_wakeup_fd"));
  py_state.getsignal = forever(signal.attr("getsignal"));
  py_state.default_handler = forever(signal.attr("default_int_handler"));
  for (int i = 0; i < 3; ++i) py_state.signal_numbers[i] = forever(py::int_(STOP_SIGNALS[i]));
  py::module_::import("os").attr("register_at_fork")(py::arg("after_in_child") = py::cpp_function(after_fork_in_child));
}

CtrlC::CtrlC(std::stop_source stop, int& hold, unsigned* stopping_signals) {
  if (!main_thread()) return;
  const unsigned stopping = interrupting_signals();
  if (stopping_signals) *stopping_signals = stopping;
  if (stopping == 0) return;
  if (hold != py_state.generation) {
    hold_wakeup_fd();
    hold = py_state.generation;
  }
  {
    const std::lock_guard<std::mutex> lock(watch->m);
    outer_ = std::exchange(watch->target, std::move(stop));
    outer_stopping_ = std::exchange(watch->stopping, stopping);
  }
  armed_ = true;
  generation_ = py_state.generation;
  // A Ctrl-C that came before the fd was ours left no byte in the pipe.
  if (PyErr_CheckSignals() < 0) {
    disarm();
    throw py::error_already_set();
  }
}

CtrlC::~CtrlC() { disarm(); }

void CtrlC::disarm() {
  if (!armed_) return;
  armed_ = false;
  // Armed in the parent of this forked child: the parent's watch is gone, and a watch of the child's own
  // never held this target.
  if (!watch || generation_ != py_state.generation) return;
  const std::lock_guard<std::mutex> lock(watch->m);
  watch->target = std::move(outer_);
  watch->stopping = outer_stopping_;
}

void CtrlC::drop_interrupt(unsigned signals) {
  // Only a signal whose handler is still the one that raises KeyboardInterrupt has it to drop.
  signals &= interrupting_signals();
  for (int dropped = 0; signals != 0 && PyErr_CheckSignals() < 0; ++dropped) {
    py::error_already_set error;
    // What a handler of the application's own raises comes out as it is.
    if (!plain_interrupt(error) || dropped >= std::popcount(signals)) throw std::move(error);
  }
}

MainCall::MainCall(std::stop_source* stop) : stop_(stop) {
  if (!main_thread()) return;
  active_ = true;
  outer_ = std::exchange(current_call, this);
}

MainCall::~MainCall() {
  if (active_) current_call = outer_;
}

void MainCall::raise_kept() {
  if (!kept_) return;
  py::object error = std::exchange(kept_, {});
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
  throw py::error_already_set();
}

void keep_raised(py::error_already_set& error, bool interrupt) {
  if (!main_thread()) return;
  if (current_call && !current_call->kept_) {
    current_call->kept_ = error.value();
    current_call->kept_interrupt_ = interrupt;
    if (error.trace()) PyException_SetTraceback(error.value().ptr(), error.trace().ptr());
    if (current_call->stop_) current_call->stop_->request_stop();
    return;
  }
  // A second one in the same call (the first is on its way out), or none to raise it: reported, not lost.
  error.discard_as_unraisable("velmora");
}

void run_signal_handlers() {
  if (!main_thread() || !current_call || PyErr_CheckSignals() == 0) return;
  py::error_already_set error;
  keep_raised(error, plain_interrupt(error));
}

void CtrlC::let_go(int& hold) {
  const bool counted = hold == py_state.generation;
  hold = 0;
  if (!counted) return;
  --py_state.holders;
  // Only the main thread may set the wakeup fd; a render let go of elsewhere leaves it set, and the main
  // thread's next render takes it over as it is.
  if (py_state.holders == 0 && py_state.installed && main_thread()) give_back_wakeup_fd();
}

}  // namespace velmora::python
