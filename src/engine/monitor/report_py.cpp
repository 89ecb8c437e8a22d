// The run report: _save_run_report, and _RoundLog, the compact form in which
// a monitoring run keeps its rounds and hands them over without Python dicts.
#include <string>
#include <utility>
#include <vector>

#include "engine/common/clock.h"
#include "engine/common/json_writer.h"
#include "engine/os/files.h"
#include "engine/py/interrupt_py.h"
#include "engine/py/shell_py.h"
#include "engine/registry_py.h"
#include "engine/monitor/report_file.h"
#include "engine/monitor/rounds.h"

namespace engine {
namespace {

using namespace shell;

std::string type_name(py::handle value) { return py::str(py::type::handle_of(value).attr("__name__")); }

// Writes Python values as json.dump does: the same type checks in the same
// order, the same key conversions and the same refusals.
class PythonValues {
 public:
  explicit PythonValues(json::Writer& writer) : writer_(writer) {}

  void value(py::handle v) {
    PyObject* o = v.ptr();
    if (PyUnicode_Check(o)) {
      writer_.string(text_keeping_surrogates(v));  // a lone surrogate as well: the writer escapes it
    } else if (o == Py_None) {
      writer_.null();
    } else if (o == Py_True || o == Py_False) {
      writer_.boolean(o == Py_True);
    } else if (PyLong_Check(o)) {
      writer_.number(int_text(v), json::NumberKind::Integer);
    } else if (PyFloat_Check(o)) {
      writer_.floating(PyFloat_AsDouble(o));
    } else if (PyList_Check(o) || PyTuple_Check(o)) {
      enter(o);
      writer_.begin_array();
      for (py::handle item : v) value(item);
      writer_.end_array();
      leave();
    } else if (PyDict_Check(o)) {
      enter(o);
      writer_.begin_object();
      for (auto [k, item] : py::reinterpret_borrow<py::dict>(v)) {
        writer_.key(key_text(k));
        value(item);
      }
      writer_.end_object();
      leave();
    } else {
      raise(PyExc_TypeError, "Object of type " + type_name(v) + " is not JSON serializable");
    }
  }

 private:
  static std::string int_text(py::handle v) {
    return py::reinterpret_steal<py::str>(PyLong_Type.tp_repr(v.ptr())).cast<std::string>();
  }

  static std::string key_text(py::handle k) {
    PyObject* o = k.ptr();
    if (PyUnicode_Check(o)) return text_keeping_surrogates(k);
    if (PyFloat_Check(o)) return json::float_text(PyFloat_AsDouble(o));
    if (o == Py_True) return "true";
    if (o == Py_False) return "false";
    if (o == Py_None) return "null";
    if (PyLong_Check(o)) return int_text(k);
    raise(PyExc_TypeError, "keys must be str, int, float, bool or None, not " + type_name(k));
  }

  void enter(PyObject* container) {
    for (PyObject* open : open_) {
      if (open == container) raise(PyExc_ValueError, "Circular reference detected");
    }
    open_.push_back(container);
  }
  void leave() { open_.pop_back(); }

  json::Writer& writer_;
  std::vector<PyObject*> open_;
};

// The new ReportSession from RoundRecord dicts, as text at its place in the
// file (inside "sessions", two levels down).
std::string render_session(const std::string& start, const std::string& end, const py::object& counter,
                           const py::object& records, std::size_t& count) {
  json::StringSink sink;
  json::Writer writer(sink, os::native_line_end(), 2);
  PythonValues values(writer);
  writer.begin_object();
  writer.key("start_time");
  writer.string(start);
  writer.key("end_time");
  writer.string(end);
  writer.key("total_rounds");
  values.value(counter);
  writer.key("rounds");
  writer.begin_array();
  count = 0;
  for (py::handle record : records) {
    writer.begin_object();
    for (const char* key : {"round", "time", "results"}) {
      writer.key(key);
      values.value(record[py::str(key)]);
    }
    writer.key("latency");
    const py::str latency("latency");
    if (record.attr("__contains__")(latency).cast<bool>()) {
      values.value(record[latency]);
    } else {
      writer.begin_object();
      writer.end_object();
    }
    writer.end_object();
    ++count;
  }
  writer.end_array();
  writer.end_object();
  writer.flush();
  return std::move(sink.text);
}

void save_run_report(const py::object& start_time, const py::object& round_counter, const py::object& rounds) {
  // Once begun, the save runs to its end and says so: it holds the whole run,
  // and a large report takes seconds to write, while a second Ctrl+C (the
  // commonest way to stop a program) means only "stop now". That interrupt
  // takes effect once the new file is in place and the saved line is out.
  const bool interrupted = hold_interrupt([&] {
    const auto failure = ordinary_error([&] {
      const std::string start = py::str(start_time.attr("strftime")("%Y-%m-%d %H:%M:%S"));
      const std::string end = local_time("%Y-%m-%d %H:%M:%S");
      std::size_t count = 0;
      std::string session;
      report::SessionWriter write;
      if (py::isinstance<RoundLog>(rounds)) {
        const RoundLog& log = rounds.cast<const RoundLog&>();
        count = log.size();
        const report::SessionHead head{start, end, round_counter.cast<std::int64_t>()};
        write = [&log, head](json::Writer& writer) { report::write_session(writer, head, log); };
      } else {
        session = render_session(start, end, round_counter, rounds, count);
        write = [&](json::Writer& writer) { writer.raw_value(session); };
      }
      const report::SaveOutcome outcome = interruptible([&](const os::Interrupt& interrupt) {
        return report::save_session(report::kReportFile, write, interrupt);
      });
      if (!outcome.kept_aside.empty()) warning("cli_report_kept_aside", outcome.kept_aside);
      info("cli_report_saved", count);
    });
    if (failure) error("err_report_save_failed", report::kReportFile, *failure);
  });
  if (interrupted) raise_interrupt();
}

void append_round(RoundLog& log, std::int64_t number, const std::string& time, const py::dict& results,
                  const py::object& latency) {
  std::vector<std::pair<std::string, bool>> flags;
  for (auto [name, ok] : results) {
    flags.emplace_back(text_keeping_surrogates(name), py::bool_(py::reinterpret_borrow<py::object>(ok)));
  }
  std::vector<std::pair<std::string, std::int64_t>> times;
  if (!latency.is_none()) {
    for (auto [name, ms] : py::dict(latency)) {
      times.emplace_back(text_keeping_surrogates(name), ms.cast<std::int64_t>());
    }
  }
  std::vector<std::pair<std::string_view, bool>> flag_views(flags.begin(), flags.end());
  std::vector<std::pair<std::string_view, std::int64_t>> time_views(times.begin(), times.end());
  log.append(number, time, flag_views, time_views);
}

}  // namespace

void register_report(py::module_& m) {
  py::class_<RoundLog>(m, "_RoundLog",
                       "The rounds a monitoring run keeps for its report: the newest 100000, in compact form.")
      .def(py::init<>())
      .def("append", &append_round, py::arg("round"), py::arg("time"), py::arg("results"),
           py::arg("latency") = py::none(),
           "Appends a finished round: its number, its time, {target: success} and {target: ms} in check order.")
      .def("__len__", &RoundLog::size);
  m.def("_save_run_report", &save_run_report, py::arg("start_time"), py::arg("round_counter"), py::arg("rounds"));
}

}  // namespace engine
