#pragma once
// The compiled module velmora._open: the public C++ Avatar API (include/velmora/) as Python objects. It only
// converts; every rule of the API stays in the C++ library.
//
// The GIL is released around every call into the library that may work or wait (opening, rendering a frame,
// closing, writing a video file). Whatever the library calls back into Python while it runs (the frames'
// audio iterator, the logger) takes the GIL for that call alone.
#include <pybind11/pybind11.h>

#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <vector>

#include <velmora/velmora.hpp>

namespace velmora::python {

namespace py = pybind11;

// A strong reference to a Python object that may be dropped on any thread, with or without the GIL: C++ renders
// carry Python objects (an audio iterator, an exception it raised) through code that runs without it.
class PyRef {
 public:
  explicit PyRef(py::object object) : object_(object.release().ptr()) {}
  ~PyRef();
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;

  PyObject* get() const { return object_; }
  // A new reference; the GIL must be held.
  py::object object() const { return py::reinterpret_borrow<py::object>(object_); }

 private:
  PyObject* object_;
};

// A Python Exception raised by the application's code during a render (its audio iterator), carried through
// the C++ render: the render maps it like any failure (Failed "the render stopped", this very exception as the
// detail).
class PythonError : public std::runtime_error {
 public:
  PythonError(std::shared_ptr<PyRef> error, const std::string& text)
      : std::runtime_error(text), error_(std::move(error)) {}
  const std::shared_ptr<PyRef>& error() const { return error_; }

 private:
  std::shared_ptr<PyRef> error_;
};

// A Python exception that is not an Exception (KeyboardInterrupt, SystemExit) raised by the application's code
// during a render. Not a std::exception either, so no mapping of the render takes it: after the engine's
// interrupt it reaches the caller as it was raised.
struct PythonInterrupt {
  std::shared_ptr<PyRef> error;
};

// A reference kept for the life of the process (module-wide objects, never released at exit).
inline PyObject* forever(py::object object) { return object.release().ptr(); }

// Takes the Python error that is set and throws it as PythonError or PythonInterrupt. GIL held.
[[noreturn]] void throw_python_error();

// The Python exception object for a C++ exception: the package's error classes with their detail, OSError and
// its subclasses, TypeError, ValueError, ImportError; a Python exception carried through C++ is that object.
// GIL held.
py::object python_exception(const std::exception_ptr& error);

// Makes the package's error classes (velmora._errors) known and routes C++ exceptions out of every function of
// the module to Python through python_exception.
void register_errors(py::module_& module, const py::module_& errors);

// Text from the library (messages, paths) as a Python str; bytes that are not UTF-8 (a path's) are kept as
// the file system's own decoding keeps them.
py::str text(const std::string& s);

// Whether `object` is an os.PathLike.
bool is_path_like(py::handle object);

// A path argument (str, or os.PathLike giving str or bytes) as the bytes the file system takes; nullopt for any
// other type. Errors of os.fspath pass unchanged.
std::optional<std::string> fs_path(py::handle path);

// The name of an object's type, as type(obj).__name__ gives it.
std::string type_name(py::handle object);

// audio.cpp: the audio argument of render(), converted as the API takes it. A whole clip is copied now; a
// stream keeps the Python iterator and converts each item when the render pulls it, under the GIL.
AudioInput audio_input(py::handle audio);

// frames.cpp: a frame as a read-only numpy array (rows, columns, channels) over the frame's own buffer, which
// it keeps alive.
py::object frame_array(Frame&& frame);

// Whether the interpreter is shutting down (no thread may take the GIL any more then, but the one doing it).
bool finalizing();

// log.cpp: the library's "velmora" logger writes into Python's logging.getLogger("velmora").
void route_log_to_python();

// interrupt.cpp: Ctrl-C during a render in the main thread (see there).
class CtrlC {
 public:
  // Set up once, at import (GIL held).
  static void init();

  // While it lives, a SIGINT (or SIGTERM, or SIGHUP) whose handler is Python's default_int_handler asks `stop`
  // to stop. Made by the thread that is about to release the GIL for a render call (GIL held); raises
  // KeyboardInterrupt at once when a Ctrl-C is already pending. `hold` is this render's hold on the signal
  // wakeup fd (see interrupt.cpp). `*stopping_signals` (when given) gets the signals that stop it (bit s for
  // signal s; none on other threads than the main one).
  CtrlC(std::stop_source stop, int& hold, unsigned* stopping_signals = nullptr);
  ~CtrlC();  // GIL held
  CtrlC(const CtrlC&) = delete;
  CtrlC& operator=(const CtrlC&) = delete;

  // Gives up the wakeup fd held by a render that has ended (GIL held).
  static void let_go(int& hold);

  // For a call that succeeded although one of `signals` (the call's stopping signals) may have come too late to
  // cancel it: runs the pending signal handlers and drops the KeyboardInterrupt that Python's handler of each of
  // those signals raises, so that the call's result comes out. What any other handler raises comes out of the
  // call (GIL held).
  static void drop_interrupt(unsigned signals);

 private:
  void disarm();
  bool armed_ = false;
  int generation_ = 0;  // of the holds, when armed
  std::optional<std::stop_source> outer_;
  unsigned outer_stopping_ = 0;
};

// One call of the module on the main thread that runs the library with the GIL released. Python code that the
// library runs on this thread meanwhile where what it raises cannot come out (a log record's handlers, and a
// signal handler, as Python runs those between any two bytecodes of this thread) has its exception kept: the
// call's `stop` (when given) is asked to stop, and the exception comes out of the call (raise_kept), as it
// would have come out of a Python library's call. Calls may nest (a progress callback that opens another
// avatar); the innermost keeps. Made and ended with the GIL held.
class MainCall {
 public:
  explicit MainCall(std::stop_source* stop = nullptr);
  ~MainCall();
  MainCall(const MainCall&) = delete;
  MainCall& operator=(const MainCall&) = delete;

  bool kept() const { return static_cast<bool>(kept_); }
  // Whether what was kept is the KeyboardInterrupt of Python's own handler of a signal (see run_signal_handlers).
  bool kept_interrupt() const { return kept_ && kept_interrupt_; }
  // Raises the first exception kept, if any (GIL held).
  void raise_kept();
  // Forgets what was kept (GIL held).
  void drop_kept() { kept_ = {}; }

 private:
  friend void keep_raised(py::error_already_set& error, bool interrupt);
  MainCall* outer_ = nullptr;
  std::stop_source* stop_ = nullptr;
  py::object kept_;
  bool kept_interrupt_ = false;
  bool active_ = false;  // made on the main thread
};

// What Python code that the library ran on this thread raised, where it cannot come out (GIL held). On the
// main thread during a MainCall it is kept by that call; on the main thread outside one (an object being
// deallocated) it is reported as Python reports an exception in __del__ (sys.unraisablehook); on other threads,
// where no signal handler runs, it is that code's own failure (a logging failure loses its record alone).
// `interrupt`: it is a KeyboardInterrupt that Python's handler of a signal raised (run_signal_handlers knows).
void keep_raised(py::error_already_set& error, bool interrupt = false);

// Before the library runs Python code on the main thread during a MainCall (a log record): runs the signal
// handlers that are pending, as Python would run them between two bytecodes of that code, and keeps what they
// raise. Run from here, with no Python frame in between, a KeyboardInterrupt without a traceback is known to be
// the one of Python's own handler of a signal (default_int_handler), not one an application's code raised.
void run_signal_handlers();

// Raises the error that ended a render call: a Cancelled render (a Ctrl-C stopped it) runs Python's signal
// handlers, which raise KeyboardInterrupt; anything else as python_exception maps it. GIL held.
[[noreturn]] void raise_render_error(const std::exception_ptr& error);

}  // namespace velmora::python
