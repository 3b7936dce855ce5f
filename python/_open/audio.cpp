// The audio argument of render() as the API's AudioInput.
//
// bytes, bytearray and memoryview are PCM; str and os.PathLike an audio file; a numpy array of int16,
// float32 or float64 samples (any shape, row-major); any other iterable a stream of those, converted item by
// item when the engine asks for more. The library refuses the rest, with its own texts, when the render
// starts.
#include <filesystem>
#include <span>

#include "binding.h"

namespace velmora::python {
namespace {

// numpy.ndarray once numpy is imported (no array can exist before), else null. None in sys.modules is how an
// application hides a module: numpy counts as not imported then.
PyTypeObject* ndarray_type() {
  static PyObject* ndarray = nullptr;
  if (ndarray) return reinterpret_cast<PyTypeObject*>(ndarray);
  py::object numpy = py::reinterpret_steal<py::object>(PyImport_GetModule(py::str("numpy").ptr()));
  if (!numpy || numpy.is_none()) {
    if (PyErr_Occurred()) throw py::error_already_set();
    return nullptr;
  }
  ndarray = forever(numpy.attr("ndarray"));
  return reinterpret_cast<PyTypeObject*>(ndarray);
}

// The object's bytes in C order, without a copy where the object allows it.
class Bytes {
 public:
  explicit Bytes(py::handle object) {
    if (PyObject_GetBuffer(object.ptr(), &view_, PyBUF_C_CONTIGUOUS) == 0) {
      held_ = true;
      return;
    }
    PyErr_Clear();
    copy_ = py::reinterpret_steal<py::object>(PyBytes_FromObject(object.ptr()));
    if (!copy_) throw py::error_already_set();
  }
  ~Bytes() {
    if (held_) PyBuffer_Release(&view_);
  }
  Bytes(const Bytes&) = delete;
  Bytes& operator=(const Bytes&) = delete;

  std::span<const std::uint8_t> span() const {
    if (held_) return {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
    return {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(copy_.ptr())),
            static_cast<std::size_t>(PyBytes_GET_SIZE(copy_.ptr()))};
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
  py::object copy_;
};

bool is_bytes_like(py::handle o) {
  return PyBytes_Check(o.ptr()) || PyByteArray_Check(o.ptr()) || PyMemoryView_Check(o.ptr());
}

bool is_ndarray(py::handle o) {
  PyTypeObject* ndarray = ndarray_type();
  return ndarray && PyObject_TypeCheck(o.ptr(), ndarray);
}

AudioItem array_item(py::handle array) {
  const std::string dtype = py::str(array.attr("dtype")).cast<std::string>();
  // Another dtype is refused by the library, which names it; its elements are never read.
  if (dtype != "int16" && dtype != "float32" && dtype != "float64") return AudioItem::array({dtype, {}});
  const Bytes bytes(array);
  return AudioItem::array({dtype, std::as_bytes(bytes.span())});
}

// One whole clip (a render's audio, or one item of a stream).
AudioItem audio_item(py::handle audio) {
  if (is_bytes_like(audio)) return AudioItem::pcm(Bytes(audio).span());
  if (std::optional<std::string> path = fs_path(audio)) return AudioItem::file(std::filesystem::path(*path));
  if (is_ndarray(audio)) return array_item(audio);
  return AudioItem::unsupported(type_name(audio));
}

// The next item of a stream, converted under the GIL; nothing at its end. Python errors of the iterator and of
// the conversion are carried through the render as they are.
std::optional<AudioItem> pull(const PyRef& items) {
  py::gil_scoped_acquire gil;
  try {
    py::object item = py::reinterpret_steal<py::object>(PyIter_Next(items.get()));
    if (!item) {
      if (PyErr_Occurred()) throw_python_error();
      return std::nullopt;
    }
    return audio_item(item);
  } catch (py::error_already_set& e) {
    e.restore();
    throw_python_error();
  }
}

Generator<AudioItem> python_stream(std::shared_ptr<PyRef> items) {
  while (std::optional<AudioItem> item = pull(*items)) {
    AudioItem out = std::move(*item);
    co_yield std::move(out);
  }
}

}  // namespace

AudioInput audio_input(py::handle audio) {
  if (is_bytes_like(audio) || is_ndarray(audio)) return AudioInput(audio_item(audio));
  if (std::optional<std::string> path = fs_path(audio)) return AudioInput::file(std::filesystem::path(*path));
  py::object items = py::reinterpret_steal<py::object>(PyObject_GetIter(audio.ptr()));
  if (!items) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
    PyErr_Clear();
    return AudioInput(AudioItem::unsupported(type_name(audio)));  // refused when the render starts
  }
  return AudioInput::stream(python_stream(std::make_shared<PyRef>(std::move(items))));
}

}  // namespace velmora::python
