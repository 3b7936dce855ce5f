// Frames as numpy arrays over the frame's own buffer: a capsule holding the frame's shared pointer is the
// array's base, so the pixels live as long as the array and are never copied. The array is read-only, as
// the frame's pixels never change once delivered.
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL velmora_python_ARRAY_API
#include <numpy/arrayobject.h>

#include "binding.h"

namespace velmora::python {
namespace {

constexpr const char* CAPSULE = "velmora.frame";
using Pixels = std::shared_ptr<const std::byte>;

// numpy's C API, loaded at the first frame: importing the module does not import numpy. Another python3 than
// the one the package is built for may lack it: the error names it, with the import's own as its cause.
void need_numpy() {
  static bool ready = false;
  if (ready) return;
  PyObject* numpy = PyImport_ImportModule("numpy");
  Py_XDECREF(numpy);
  if (!numpy || _import_array() < 0) {
    std::string python;
    {
      const py::error_scope cause;  // set aside while Python is asked which it is, then the new error's cause
      python = py::str(py::module_::import("sys").attr("executable"));
    }
    py::raise_from(PyExc_ImportError,
                   ("frames are NumPy arrays, and NumPy cannot be loaded in this Python (" + python +
                    "): install NumPy for it (Debian's python3-numpy is for /usr/bin/python3)")
                       .c_str());
    throw py::error_already_set();
  }
  ready = true;
}

void free_pixels(PyObject* capsule) { delete static_cast<Pixels*>(PyCapsule_GetPointer(capsule, CAPSULE)); }

int numpy_type(ElementType type) {
  switch (type) {
    case ElementType::u8:
      return NPY_UINT8;
    case ElementType::i16:
      return NPY_INT16;
    case ElementType::f32:
      return NPY_FLOAT32;
  }
  throw std::logic_error("a frame of an unknown element type");
}

}  // namespace

py::object frame_array(Frame&& frame) {
  need_numpy();
  npy_intp dims[3];
  std::size_t elements = 1;
  for (int i = 0; i < 3; ++i) {
    dims[i] = static_cast<npy_intp>(frame.shape[static_cast<std::size_t>(i)]);
    elements *= frame.shape[static_cast<std::size_t>(i)];
  }
  if (elements * element_size(frame.type) > frame.bytes || (elements > 0 && !frame.data)) {
    throw std::logic_error("a frame's buffer is smaller than its shape");
  }
  auto* pixels = new Pixels(std::move(frame.data));
  PyObject* capsule = PyCapsule_New(pixels, CAPSULE, free_pixels);
  if (!capsule) {
    delete pixels;
    throw py::error_already_set();
  }
  // Flags without NPY_ARRAY_WRITEABLE: numpy works out contiguity and alignment itself.
  PyObject* array = PyArray_New(&PyArray_Type, 3, dims, numpy_type(frame.type), nullptr,
                                const_cast<std::byte*>(pixels->get()), 0, 0, nullptr);
  if (!array) {
    Py_DECREF(capsule);
    throw py::error_already_set();
  }
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array), capsule) < 0) {  // takes the capsule
    Py_DECREF(array);
    throw py::error_already_set();
  }
  return py::reinterpret_steal<py::object>(array);
}

}  // namespace velmora::python
