// The report viewer: lists the sessions of the report file, newest first, and
// prints the statistics of the one the user picks, until the user leaves.
#include <optional>
#include <string>

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
    console.line(tr("cli_report_target_row", target.name, target.ok, target.fail, percent(target.ok, total)));
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
  // Each head value as the Python value stored, so that the catalogue's %s
  // shows it as Python would (None, 1.5, [1, 2]).
  const py::object stored = py::module_::import("json").attr("loads");
  for (;;) {
    console.line(tr("cli_report_title"));
    for (std::size_t number = 1; number <= count; ++number) {
      const report::SessionStats& session = view.sessions[count - number];
      console.line(tr("cli_report_session_label", number, stored(session.start_time), stored(session.end_time),
                      stored(session.total_rounds)));
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
