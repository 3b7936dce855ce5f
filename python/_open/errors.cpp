// C++ exceptions as Python exceptions, and Python exceptions carried through C++.
#include <cerrno>
#include <new>
#include <system_error>

#include "binding.h"

namespace velmora::python {
namespace {

// The package's error classes, from velmora._errors; kept for the life of the process.
struct ErrorClasses {
  PyObject* avatar_error = nullptr;
  PyObject* invalid_avatar = nullptr;
  PyObject* not_supported = nullptr;
  PyObject* failed = nullptr;
  PyObject* outdated = nullptr;
};
ErrorClasses classes;

py::object call(PyObject* cls, const std::string& message) {
  return py::reinterpret_borrow<py::object>(cls)(text(message));
}

py::object detail_object(const Detail& detail) {
  if (detail.empty()) return py::none();
  if (detail.is_text()) return text(detail.text());
  return python_exception(detail.exception());
}

// A refusal with a detail is raised from None: the detail rides inside it instead of as chained context.
py::object refusal(py::object error, const AvatarError& e) {
  if (!e.detail().empty()) PyException_SetCause(error.ptr(), nullptr);
  return error;
}

PyObject* class_of(const AvatarError& e) {
  if (dynamic_cast<const InvalidAvatar*>(&e)) return classes.invalid_avatar;
  if (dynamic_cast<const NotSupported*>(&e)) return classes.not_supported;
  if (dynamic_cast<const Failed*>(&e)) return classes.failed;
  return classes.avatar_error;
}

py::object os_error(const std::system_error& e) {
  const std::error_category& cat = e.code().category();
  if (cat == std::generic_category() || cat == std::system_category()) {
    // OSError(errno, text) becomes the subclass for that errno, as Python's own file errors do.
    return py::reinterpret_borrow<py::object>(PyExc_OSError)(e.code().value(), text(e.what()));
  }
  return call(PyExc_OSError, e.what());
}

}  // namespace

PyRef::~PyRef() {
  if (!object_ || !Py_IsInitialized()) return;  // after the interpreter is gone there is nothing to release
  const PyGILState_STATE gil = PyGILState_Ensure();
  Py_DECREF(object_);
  PyGILState_Release(gil);
}

py::str text(const std::string& s) {
  PyObject* out = PyUnicode_DecodeFSDefaultAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
  if (!out) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(out);
}

std::string type_name(py::handle object) {
  return py::str(py::type::handle_of(object).attr("__name__")).cast<std::string>();
}

bool is_path_like(py::handle object) {
  static PyObject* path_like = forever(py::module_::import("os").attr("PathLike"));
  const int is_path = PyObject_IsInstance(object.ptr(), path_like);
  if (is_path < 0) throw py::error_already_set();
  return is_path != 0;
}

std::optional<std::string> fs_path(py::handle path) {
  if (!PyUnicode_Check(path.ptr()) && !PyBytes_Check(path.ptr()) && !is_path_like(path)) return std::nullopt;
  py::object p = py::reinterpret_steal<py::object>(PyOS_FSPath(path.ptr()));
  if (!p) throw py::error_already_set();
  if (!PyBytes_Check(p.ptr())) {
    p = py::reinterpret_steal<py::object>(PyUnicode_EncodeFSDefault(p.ptr()));
    if (!p) throw py::error_already_set();
  }
  std::string bytes(PyBytes_AS_STRING(p.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(p.ptr())));
  // The C library would end the path there and name another file.
  if (bytes.find('\0') != std::string::npos) throw py::value_error("embedded null byte");
  return bytes;
}

[[noreturn]] void throw_python_error() {
#if PY_VERSION_HEX >= 0x030C0000
  py::object error = py::reinterpret_steal<py::object>(PyErr_GetRaisedException());
#else
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback && value) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  py::object error = py::reinterpret_steal<py::object>(value);
#endif
  if (!error) throw std::logic_error("no Python error is set");
  std::string what = type_name(error);
  try {
    what += ": " + py::str(error).cast<std::string>();
  } catch (py::error_already_set& e) {  // an exception whose str() fails is known by its type alone
    keep_raised(e);                       // and what str() raised (a signal handler's, maybe) is not lost
  }
  const bool is_exception = PyErr_GivenExceptionMatches(error.ptr(), PyExc_Exception);
  auto ref = std::make_shared<PyRef>(std::move(error));
  if (is_exception) throw PythonError(std::move(ref), what);
  throw PythonInterrupt{std::move(ref)};
}

py::object python_exception(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const PythonError& e) {
    return e.error()->object();
  } catch (const PythonInterrupt& e) {
    return e.error->object();
  } catch (const py::error_already_set& e) {
    return e.value();
  } catch (const Outdated& e) {
    return refusal(py::reinterpret_borrow<py::object>(classes.outdated)(text(e.what()), text(e.code()),
                                                                        detail_object(e.detail())),
                   e);
  } catch (const AvatarError& e) {
    return refusal(py::reinterpret_borrow<py::object>(class_of(e))(text(e.what()), detail_object(e.detail())), e);
  } catch (const FileNotFound& e) {
    return call(PyExc_FileNotFoundError, e.what());
  } catch (const std::system_error& e) {
    return os_error(e);
  } catch (const TypeError& e) {
    return call(PyExc_TypeError, e.what());
  } catch (const ValueError& e) {
    return call(PyExc_ValueError, e.what());
  } catch (const ImportError& e) {
    return call(PyExc_ImportError, e.what());
  } catch (const Cancelled&) {
    // The module stops a render only for Ctrl-C.
    return py::reinterpret_borrow<py::object>(PyExc_KeyboardInterrupt)();
  } catch (const std::bad_alloc&) {
    return py::reinterpret_borrow<py::object>(PyExc_MemoryError)();
  } catch (const std::invalid_argument& e) {
    return call(PyExc_ValueError, e.what());
  } catch (const std::exception& e) {
    return call(PyExc_RuntimeError, e.what());
  } catch (const GeneratorExit&) {
    return py::reinterpret_borrow<py::object>(PyExc_GeneratorExit)();
  } catch (...) {
    return call(PyExc_RuntimeError, "unknown C++ exception");
  }
}

[[noreturn]] void raise_render_error(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const Cancelled&) {
    // The handler of the Ctrl-C that stopped the render raises KeyboardInterrupt.
    if (PyErr_CheckSignals() < 0) throw py::error_already_set();
    PyErr_SetNone(PyExc_KeyboardInterrupt);
    throw py::error_already_set();
  }
}

void register_errors(py::module_& module, const py::module_& errors) {
  classes.avatar_error = forever(errors.attr("AvatarError"));
  classes.invalid_avatar = forever(errors.attr("InvalidAvatar"));
  classes.not_supported = forever(errors.attr("NotSupported"));
  classes.failed = forever(errors.attr("Failed"));
  classes.outdated = forever(errors.attr("Outdated"));
  for (const char* name : {"AvatarError", "InvalidAvatar", "NotSupported", "Failed", "Outdated", "refuse"}) {
    module.attr(name) = errors.attr(name);
  }
  py::register_exception_translator([](std::exception_ptr p) {
    if (!p) return;
    try {
      std::rethrow_exception(p);
    } catch (py::error_already_set& e) {
      e.restore();
    } catch (const py::builtin_exception& e) {
      e.set_error();
    } catch (...) {
      try {
        py::object error = python_exception(std::current_exception());
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
      } catch (py::error_already_set& e) {  // building the exception failed: that error is raised instead
        e.restore();
      }
    }
  });
}

}  // namespace velmora::python
