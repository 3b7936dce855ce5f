// velmora._open: open(), Avatar, the frames of a render, RenderStats.
#include <filesystem>
#include <utility>

#include "binding.h"

namespace velmora::python {
namespace {

constexpr const char* MODULE_DOC = R"(The Avatar API.

open(path) gives an Avatar; avatar.render(audio) the frames for that audio, as read-only numpy arrays of
shape (rows, columns, 3) over the engine's own frame buffers; avatar.render(audio, out_mp4=path) writes them
to an MP4 file instead.

Threads: the GIL is released while the engine works (opening, each frame, closing, writing a file), so
renders of distinct avatars in distinct threads run at the same time. An avatar serves one call at a time:
a call made while another one of the same avatar runs raises RuntimeError.

Ctrl-C: a render in the main thread that waits inside the engine, and an open() waiting for a render host to
start, are stopped within a second, not at their next frame or once the host is up. While the main thread has a
live render or an open() in progress, the module's pipe is the interpreter's signal wakeup fd; a watcher thread
that reads a SIGINT from it asks the call to stop (while SIGINT's handler is Python's default_int_handler; the
same for SIGTERM and SIGHUP given that handler), and passes every signal on to the wakeup fd the application had
set. The engine is interrupted once (a starting host is ended), and KeyboardInterrupt is raised by Python's
handler; the avatar can render again. What a signal handler raises while the library runs Python code on the
main thread (its log records go to Python's logging there) comes out of the call in progress, which it stops, as
does an error of the application's logging there.
)";

constexpr const char* OPEN_DOC = R"(The avatar at ``source``, ready to render.

``source`` is the path (str or os.PathLike) of an avatar on this machine: an avatar file or an unpacked
avatar folder. Raises InvalidAvatar when there is none or it is not usable, NotSupported when this machine
cannot run it, Failed when it could not be prepared. Ctrl-C in the main thread while the avatar's render host
starts ends the host within a second and raises KeyboardInterrupt; so does Ctrl-C while an avatar file is
unpacked into the cache, which then keeps nothing of it.)";

constexpr const char* AVATAR_DOC = "An open avatar.  Get one from :func:`velmora.open`.";

constexpr const char* RENDER_DOC = R"(Yield the frames for ``audio``, or with ``out_mp4`` write them to an MP4.

``audio`` is 16 kHz mono speech: PCM bytes (bytes, bytearray, memoryview), a numpy array of int16 samples or
of float32/float64 samples in [-1, 1], the path of an audio file, or an iterable of those, read one item at a
time as the render needs more.

With ``out_mp4`` this is the offline route: it writes H.264 video plus the speech (whatever form ``audio``
takes) and returns the number of frames written. Without it, it returns the frame iterator: read-only numpy
uint8 arrays of shape (rows, columns, 3), rendered as they are asked for.

How many frames: a mirel-2 avatar gives one per 800 samples (20 a second), a partial last one included, and
its first frame twice, so the first two are one picture (81 frames for 4.00 s, 416 x 720 pixels each: shape
(720, 416, 3)); a session avatar one per 640 samples (25 a second) from the first with speech on. The frames of
an iterable come as the engine completes them, a mirel-2 avatar's in bursts: 22 once 1.6 s of audio are in,
then 32 for every further 1.6 s. A render that gives no frame (an empty clip, for one) raises Failed.

Renders of one avatar take turns on its engine: a render takes it at its first frame (with ``out_mp4``, at
once), and a frame iterator of the avatar still live then is interrupted for it and raises Failed ("this render
was interrupted by a later render of the same avatar") at its next frame.

The video (H.264 at the engine's frame rate, the speech as AAC, both from 0 s and neither trimmed, so a mirel-2
video runs one frame longer than its speech and its picture one frame behind it) is written into a temporary
file beside ``out_mp4`` (one without a name where the file system has them, else one readable by its owner only)
and put in its place once complete: a render that fails or is interrupted leaves no file, and an existing one as
it was. Ctrl-C counts until the finished video is renamed onto ``out_mp4``; once it is,
the render has succeeded and returns its count, without the KeyboardInterrupt of a Ctrl-C that came too late to
cancel it. A symbolic link is followed and stays; a FIFO, a device or a socket (an MP4 needs
a file it can seek in), the audio file, the avatar's file and any name inside an avatar folder are refused with
Failed. ``progress``, given with ``out_mp4``, is called after every frame written with a WriteProgress (frames,
seconds of video, total_seconds of the audio or None for a stream, elapsed_seconds); an exception it raises
stops the render and comes out of it.)";

constexpr const char* BUSY = "this avatar is busy with another call: an avatar serves one call at a time";

PyObject* render_stats_type = nullptr;    // velmora._open.RenderStats
PyObject* write_progress_type = nullptr;  // velmora._open.WriteProgress

template <class F>
void without_gil(F&& f) {
  if (finalizing()) {
    f();
    return;
  }
  py::gil_scoped_release nogil;
  f();
}

// What a stop that came too late to cancel a call that then succeeded does.
enum class LateStop {
  interrupts,  // its KeyboardInterrupt comes out after the call (opening an avatar: the program stops there)
  is_dropped,  // the call's result comes out without it (a video put in place: it is written, not cancelled)
};

// `call(stop_token)` (opening an avatar, writing a video) with the GIL released, as a call that a Ctrl-C in the
// main thread stops (CtrlC) and that raises what Python code it ran raised where it could not come out
// (MainCall) before its own failure, which raise_render_error maps. Its result is dropped without the GIL when
// such an exception comes out instead.
template <class F>
auto stoppable_call(F&& call, LateStop late = LateStop::interrupts) {
  std::stop_source stop;
  MainCall main_call(&stop);
  int hold = 0;
  struct LetGo {
    int& hold;
    ~LetGo() { CtrlC::let_go(hold); }
  } let_go{hold};
  unsigned stopping = 0;
  const auto run = [&] {
    const CtrlC ctrl_c(stop, hold, &stopping);
    py::gil_scoped_release nogil;
    return call(stop.get_token());
  };
  try {
    auto result = run();
    if (late == LateStop::is_dropped && main_call.kept_interrupt()) main_call.drop_kept();
    if (main_call.kept()) {
      without_gil([&] { [[maybe_unused]] const auto dropped = std::move(result); });
      main_call.raise_kept();
    }
    if (late == LateStop::is_dropped && stopping != 0) {
      try {
        CtrlC::drop_interrupt(stopping);
      } catch (...) {
        without_gil([&] { [[maybe_unused]] const auto dropped = std::move(result); });
        throw;
      }
    }
    return result;
  } catch (const py::error_already_set&) {
    throw;  // raised by Python (a Ctrl-C that came before the call), or kept
  } catch (...) {
    main_call.raise_kept();
    raise_render_error(std::current_exception());
  }
}

// The calls of one avatar and its renders in progress, GIL held. Renders dropped while a call runs are closed
// by that call when it ends, as closing one drives the engine.
struct AvatarUse {
  bool busy = false;
  std::vector<FrameStream> dropped;
};

class Busy {
 public:
  explicit Busy(std::shared_ptr<AvatarUse> use) : use_(std::move(use)) {
    if (use_->busy) throw std::runtime_error(BUSY);
    use_->busy = true;
  }
  ~Busy() {
    while (!use_->dropped.empty()) {
      std::vector<FrameStream> dropped = std::exchange(use_->dropped, {});
      without_gil([&] { dropped.clear(); });
    }
    use_->busy = false;
  }
  Busy(const Busy&) = delete;
  Busy& operator=(const Busy&) = delete;

 private:
  std::shared_ptr<AvatarUse> use_;
};

struct PyAvatar {
  explicit PyAvatar(Avatar a) : avatar(std::move(a)) {}
  ~PyAvatar() {
    without_gil([&] { Avatar released = std::move(avatar); });
  }
  Avatar avatar;
  std::shared_ptr<AvatarUse> use = std::make_shared<AvatarUse>();
};

// The frames of one render: a generator (next, send, throw, close).
struct Frames {
  explicit Frames(std::shared_ptr<AvatarUse> u) : use(std::move(u)) {}
  ~Frames() {
    CtrlC::let_go(hold);
    if (use->busy) {
      use->dropped.push_back(std::move(stream));
      return;
    }
    without_gil([&] { FrameStream closed = std::move(stream); });
  }
  FrameStream stream;
  std::stop_source stop;  // asked to stop by a Ctrl-C
  std::shared_ptr<AvatarUse> use;
  bool running = false;  // inside next() or close()
  int hold = 0;          // this render's hold on the signal wakeup fd
};

class Running {
 public:
  explicit Running(Frames& f) : f_(f), busy_(f.use) { f.running = true; }
  ~Running() { f_.running = false; }
  Running(const Running&) = delete;
  Running& operator=(const Running&) = delete;

 private:
  Frames& f_;
  Busy busy_;
};

py::object next_frame(Frames& f) {
  if (f.running) throw py::value_error("generator already executing");
  const Running running(f);
  MainCall call(&f.stop);
  std::optional<Frame> frame;
  std::exception_ptr error;
  {
    const CtrlC ctrl_c(f.stop, f.hold);
    py::gil_scoped_release nogil;
    try {
      frame = f.stream.next();
    } catch (...) {
      error = std::current_exception();
    }
  }
  if (error || !frame) CtrlC::let_go(f.hold);  // the render has ended
  call.raise_kept();
  if (error) raise_render_error(error);
  if (!frame) throw py::stop_iteration();
  try {
    return frame_array(std::move(*frame));
  } catch (...) {
    // A frame that cannot be delivered ends its render (the engine is interrupted) before the error comes out.
    CtrlC::let_go(f.hold);
    without_gil([&] { FrameStream ended = std::move(f.stream); });
    throw;
  }
}

void close_frames(Frames& f) {
  if (f.running) throw py::value_error("generator already executing");
  const Running running(f);
  MainCall call;
  {
    py::gil_scoped_release nogil;
    f.stream.close();
  }
  CtrlC::let_go(f.hold);
  call.raise_kept();
}

// generator.throw(): the render has no handler, so it is closed and the exception comes out of it.
void throw_into(Frames& f, py::handle type, py::handle value, py::handle traceback) {
  py::object error;
  if (PyExceptionInstance_Check(type.ptr())) {
    if (!value.is_none()) throw py::type_error("instance exception may not have a separate value");
    error = py::reinterpret_borrow<py::object>(type);
  } else if (PyExceptionClass_Check(type.ptr())) {
    const bool instance = !value.is_none() && PyObject_IsInstance(value.ptr(), type.ptr()) == 1;
    error = instance ? py::reinterpret_borrow<py::object>(value)
                     : (value.is_none() ? type() : type(value));
  } else {
    throw py::type_error("exceptions must be classes or instances deriving from BaseException, not " +
                         type_name(type));
  }
  if (!traceback.is_none()) error = error.attr("with_traceback")(traceback);
  close_frames(f);
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
  throw py::error_already_set();
}

// A Python progress callback as the writer's: called on the rendering thread, under the GIL for the call.
ProgressFn progress_function(py::handle progress) {
  if (progress.is_none()) return {};
  auto callback = std::make_shared<PyRef>(py::reinterpret_borrow<py::object>(progress));
  return [callback](const WriteProgress& p) {
    py::gil_scoped_acquire gil;
    try {
      py::object total = p.total_seconds ? py::object(py::float_(*p.total_seconds)) : py::none();
      callback->object()(py::handle(write_progress_type)(p.frames, p.seconds, total, p.elapsed_seconds));
    } catch (py::error_already_set& e) {
      e.restore();
      throw_python_error();
    }
  };
}

py::object render(PyAvatar& a, py::handle audio, py::handle out_mp4, py::handle progress) {
  AudioInput input = audio_input(audio);
  if (out_mp4.is_none()) {
    if (!progress.is_none()) throw py::type_error("progress is reported for a render into a video file (out_mp4)");
    auto frames = std::make_unique<Frames>(a.use);
    frames->stream = a.avatar.render(std::move(input), frames->stop.get_token());
    return py::cast(std::move(frames));
  }
  const std::optional<std::string> path = fs_path(out_mp4);
  if (!path) throw py::type_error("out_mp4 takes the path of a video file; got " + type_name(out_mp4));
  ProgressFn report = progress_function(progress);
  const Busy busy(a.use);
  return py::int_(stoppable_call(
      [&](std::stop_token stop) {
        return a.avatar.render(std::move(input), std::filesystem::path(*path), std::move(stop), std::move(report));
      },
      LateStop::is_dropped));
}

std::unique_ptr<PyAvatar> open_avatar(py::handle source) {
  py::object path = py::reinterpret_borrow<py::object>(source);
  if (is_path_like(source)) {
    path = py::reinterpret_steal<py::object>(PyOS_FSPath(source.ptr()));
    if (!path) throw py::error_already_set();
  }
  if (!PyUnicode_Check(path.ptr())) throw py::type_error("open() takes the path of an avatar; got " + type_name(path));
  const std::string bytes = *fs_path(path);
  return std::make_unique<PyAvatar>(
      stoppable_call([&](std::stop_token stop) { return velmora::open(bytes, std::move(stop)); }));
}

py::object render_stats(PyAvatar& a) {
  const Busy busy(a.use);
  const std::optional<RenderStats> st = a.avatar.render_stats();
  if (!st) return py::none();
  return py::reinterpret_borrow<py::object>(render_stats_type)(st->frames, st->render_seconds, st->render_fps);
}

void close_avatar(PyAvatar& a) {
  const Busy busy(a.use);
  MainCall call;
  {
    py::gil_scoped_release nogil;
    a.avatar.close();
  }
  call.raise_kept();
}

// A typing.NamedTuple of this module.
py::object named_tuple(const char* name, const py::list& fields) {
  py::object type = py::module_::import("typing").attr("NamedTuple")(name, fields);
  type.attr("__module__") = "velmora._open";
  return type;
}

}  // namespace

bool finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing();
#else
  return _Py_IsFinalizing();
#endif
}

}  // namespace velmora::python

PYBIND11_MODULE(_open, m) {
  namespace py = pybind11;
  using namespace velmora::python;
  m.doc() = MODULE_DOC;
  register_errors(m, py::module_::import("velmora._errors"));
  CtrlC::init();

  const py::handle int_type(reinterpret_cast<PyObject*>(&PyLong_Type));
  const py::handle float_type(reinterpret_cast<PyObject*>(&PyFloat_Type));
  const py::object optional_float = py::module_::import("typing").attr("Optional")[float_type];
  render_stats_type = forever(named_tuple(
      "RenderStats", py::list(py::make_tuple(py::make_tuple("frames", int_type), py::make_tuple("render_seconds", float_type),
                                             py::make_tuple("render_fps", float_type)))));
  m.attr("RenderStats") = py::handle(render_stats_type);
  write_progress_type = forever(named_tuple(
      "WriteProgress",
      py::list(py::make_tuple(py::make_tuple("frames", int_type), py::make_tuple("seconds", float_type),
                              py::make_tuple("total_seconds", optional_float),
                              py::make_tuple("elapsed_seconds", float_type)))));
  m.attr("WriteProgress") = py::handle(write_progress_type);

  py::class_<Frames>(m, "Frames", "The frames of one render; a generator (see Avatar.render).")
      .def("__iter__", [](py::object self) { return self; })
      .def("__next__", &next_frame)
      .def("send", [](Frames& f, py::handle) { return next_frame(f); }, py::arg("value"))
      .def("throw", &throw_into, py::arg("typ"), py::arg("val") = py::none(), py::arg("tb") = py::none())
      .def("close", &close_frames,
           "Stop the render: an engine that has not delivered its last frame is interrupted, once.");

  py::class_<PyAvatar>(m, "Avatar", AVATAR_DOC)
      .def("render", &render, py::arg("audio"), py::arg("out_mp4") = py::none(), py::kw_only(),
           py::arg("progress") = py::none(), RENDER_DOC)
      .def("close", &close_avatar,
           "Release the avatar: closes its engine the first time, and does nothing after. Renders still running "
           "fail with Failed \"this avatar is closed\" at their next frame.")
      .def("__enter__", [](py::object self) { return self; })
      .def("__exit__", [](PyAvatar& a, py::args) {
        close_avatar(a);
        return false;
      })
      .def_property_readonly("render_stats", &render_stats,
                             "RenderStats of the latest render whose engine ran through to its last frame, or None.")
      // No Busy guard: closed() may be asked while close() runs with the GIL released in another thread.
      .def_property_readonly("closed", [](const PyAvatar& a) { return a.avatar.closed(); })
      .def_property_readonly("engine_id", [](const PyAvatar& a) { return text(a.avatar.engine_id()); });

  m.def("open", &open_avatar, py::arg("source"), OPEN_DOC);
  route_log_to_python();
}
