// The report viewer: lists the sessions of the report file, newest first, and
// prints the statistics of the one the user picks, until the user leaves.
#include <optional>
#include <string>
#include <string_view>

#include "engine/common/visible_text.h"
#include "engine/py/shell_py.h"
#include "engine/registry_py.h"
#include "engine/monitor/report_file.h"
#include "engine/monitor/report_view.h"

namespace engine {
namespace {

using namespace shell;

// Standard output through print() and standard input through input(), as the
// host's console knows them.
class Console {
 public:
  Console() {
    py::module_ builtins = py::module_::import("builtins");
    print_ = builtins.attr("print");
    input_ = builtins.attr("input");
  }

  void line(const py::object& text) const { print_(text); }
  void blank() const { print_(); }

  // One line, or nothing at the end of input or on the user's interrupt.
  std::optional<py::str> read(const py::object& prompt = py::none()) const {
    try {
      return py::str(prompt.is_none() ? input_() : input_(prompt));
    } catch (py::error_already_set& e) {
      if (e.matches(PyExc_EOFError) || e.matches(PyExc_KeyboardInterrupt)) return std::nullopt;
      throw;
    }
  }

 private:
  py::object print_, input_;
};

// The session number typed, when it is a whole decimal number (an optional
// sign, then digits) within 1..count.
std::optional<std::size_t> chosen(const py::str& text, std::size_t count) {
  if (py::module_::import("re").attr("fullmatch")(R"([+-]?\d+)", text).is_none()) return std::nullopt;
  const py::int_ number(text);
  if (number < py::int_(1) || number > py::int_(count)) return std::nullopt;
  return number.cast<std::size_t>();
}

// A text of the report as the console shows it: on its own line, its control
// characters visible, nothing a terminal would take as a command.
py::str console_text(std::string_view text) { return py::str(visible_text(text)); }

// A session's head value (stored as compact JSON) as the session list shows
// it: a stored text as itself, made visible; any other value as the Python
// value, so that the catalogue shows it as Python does (None, 1.5, [1, 2],
// where repr() already makes every text in it visible). A value Python cannot
// hold or print (an integer past its digit limit, nesting past its recursion
// limit) shows as the JSON it is stored as: the file is still well-formed,
// and no statistic depends on the value.
py::object head_value(const std::string& stored, const py::object& loads) {
  try {
    py::object value = loads(stored);
    if (py::isinstance<py::str>(value)) return console_text(text_escaping_surrogates(value));
    static_cast<void>(py::str(value));  // fails where the console line would
    return value;
  } catch (py::error_already_set& e) {
    if (!is_ordinary(e)) throw;
    return console_text(stored);
  }
}

double percent(std::int64_t part, std::int64_t whole) {
  return static_cast<double>(part) / static_cast<double>(whole) * 100;
}

void show_statistics(const Console& console, const py::object& tr, const report::SessionStats& session) {
  console.blank();
  console.line(tr("cli_report_overview_header"));
  console.line(tr("cli_report_total_rounds", session.round_count));
  console.line(tr("cli_report_total_checks", session.checks));
  if (session.checks > 0) {
    console.line(tr("cli_report_overall_success_rate", percent(session.successes, session.checks)));
  }
  console.blank();
  console.line(tr("cli_report_target_stats_header"));
  for (const report::TargetStats& target : session.targets) {
    const std::int64_t total = target.ok + target.fail;
    console.line(
        tr("cli_report_target_row", console_text(target.name), target.ok, target.fail, percent(target.ok, total)));
    if (target.latencies.count() == 0) continue;
    console.line(tr("cli_report_latency_row", "", report::average_text(target.latencies),
                    report::number_text(target.latencies.min()), report::number_text(target.latencies.max()),
                    report::spread_text(target.latencies)));
    if (target.fail > 0) {
      console.line(tr("cli_report_latency_loss", "", target.fail, total, percent(target.fail, total)));
    }
  }
}

void cli_view_report() {
  const py::object tr = attr("tr");
  const Console console;
  const report::ReportView view = interruptible(
      [](const os::Interrupt& interrupt) { return report::read_report_view(report::kReportFile, interrupt); });

  if (view.state == report::ReportState::Unreadable) {
    console.line(tr("cli_report_no_sessions"));
    return;
  }
  if (view.sessions.empty()) {
    console.line(tr("cli_report_no_sessions"));
    console.line(tr("cli_press_enter_to_exit"));
    console.read();
    return;
  }

  const std::size_t count = view.sessions.size();
  const py::object loads = py::module_::import("json").attr("loads");
  for (;;) {
    console.line(tr("cli_report_title"));
    for (std::size_t number = 1; number <= count; ++number) {
      const report::SessionStats& session = view.sessions[count - number];
      console.line(tr("cli_report_session_label", number, head_value(session.start_time, loads),
                      head_value(session.end_time, loads), head_value(session.total_rounds, loads)));
    }
    console.blank();

    const std::optional<py::str> answer = console.read(tr("cli_report_select_prompt"));
    if (!answer) {
      console.blank();
      return;
    }
    const py::str choice = answer->attr("strip")();
    if (choice.equal(py::str("0")) || choice.equal(py::str(""))) return;
    const std::optional<std::size_t> number = chosen(choice, count);
    if (!number) continue;

    const report::SessionStats& session = view.sessions[count - *number];
    if (session.round_count == 0) {
      console.line(tr("cli_report_no_data"));
      continue;
    }
    show_statistics(console, tr, session);
    console.line(tr("cli_report_press_enter"));
    if (!console.read()) {
      console.blank();
      return;
    }
  }
}

}  // namespace

void register_viewer(py::module_& m) { m.def("cli_view_report", &cli_view_report); }

}  // namespace engine
