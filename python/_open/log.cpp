// The library's "velmora" logger writes into Python's logging.getLogger("velmora"): applications configure it
// as any Python logger, and an unconfigured one shows warnings on standard error and drops the rest, as the
// library does by itself.
#include "binding.h"

namespace velmora::python {
namespace {

PyObject* python_logger = nullptr;  // kept for the life of the process

py::object log_arg(const LogArg& arg) {
  if (const auto* i = std::get_if<std::int64_t>(&arg)) return py::int_(*i);
  if (const auto* d = std::get_if<double>(&arg)) return py::float_(*d);
  return text(std::get<std::string>(arg));
}

// Called on whichever thread logs, with or without the GIL.
void write(const LogRecord& record) {
  if (!Py_IsInitialized() || finalizing()) return;
  py::gil_scoped_acquire gil;
  py::error_scope error_in_flight;  // an error being raised on this thread stays as it was
  run_signal_handlers();
  try {
    py::handle logger(python_logger);
    const int level = static_cast<int>(record.level);
    if (!logger.attr("isEnabledFor")(level).cast<bool>()) return;
    // The format and its arguments, as the library's records keep them, so handlers see both.
    py::tuple call(record.args.size() + 2);
    call[0] = py::int_(level);
    call[1] = text(std::string(record.format));
    for (std::size_t i = 0; i < record.args.size(); ++i) call[i + 2] = log_arg(record.args[i]);
    logger.attr("log")(*call);
  } catch (py::error_already_set& e) {
    // On the main thread this may be what a signal handler raised, run between two bytecodes of logging.
    keep_raised(e);
  }
}

}  // namespace

void route_log_to_python() {
  python_logger = forever(py::module_::import("logging").attr("getLogger")("velmora"));
  set_log_sink(LogSink{LogLevel::debug, write});
  // While the interpreter shuts down no record may reach Python: the library's own sink takes over again.
  py::module_::import("atexit").attr("register")(py::cpp_function([] { set_log_sink(LogSink{}); }));
}

}  // namespace velmora::python
