// The monitoring run: start-up, endless rounds, and the stop on Ctrl+C.
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "engine/alerts/alert_text.h"
#include "engine/common/clock.h"
#include "engine/common/file_name.h"
#include "engine/probes/protocol_check_py.h"
#include "engine/py/shell_py.h"
#include "engine/registry_py.h"
#include "engine/monitor/rounds.h"
#include "engine/monitor/run.h"
#include "engine/monitor/target_state.h"

namespace engine {
namespace {

using namespace shell;

const std::string kBanner(60, '=');
// The units of the start-up and stop notices: a blank, then the unit.
const char* const kSecondsUnit = " 秒";
const char* const kTimesUnit = " 次";
const char* const kRoundsUnit = " 轮";

// A member of a settings map, or a default when it is missing.
py::object member(const py::handle& map, const char* key, py::object fallback) {
  return map.attr("get")(key, fallback);
}

bool switched_on(const py::handle& record, std::string_view key) {
  return py::bool_(member(record, std::string(key).c_str(), py::bool_(true)));
}

// A settings value the run cannot use ends the start-up, before Chrome is
// started or anything announced, with one line in the run's language that
// names the target and quotes the value as it stands.
[[noreturn]] void refuse(const std::string& line) { raise(PyExc_ValueError, line); }

// A settings value as a refusal quotes it: its repr, cut when long.
std::string quoted(const py::handle& value) { return shown_text(py::repr(value)); }

// One enabled user-defined target, as the rounds take it.
struct CustomTarget {
  py::dict target;
  py::object name;
  // Where its state lives when that is its own file; None for the plain
  // file, which get_custom_state_file names afresh in every round.
  py::object own_state_file = py::none();
  // False while its plain file does not yet record its name (record_name).
  bool name_recorded = true;
};

bool target_enabled(const py::dict& target) { return py::bool_(member(target, "enabled", py::bool_(true))); }

py::object target_name(const py::dict& target, std::size_t index) {
  if (!target.contains("name")) refuse(tr("err_settings_no_name", index, quoted(target)));
  py::object name = target["name"];
  // The name joins the targets text of the start-up notice and names the state
  // file, so a name that is not text ends the run before anything is announced.
  if (!py::isinstance<py::str>(name)) refuse(tr("err_settings_name_not_text", index, quoted(target)));
  return name;
}

// Whether the rounds check the target: a web address, or an address with a
// protocol the factory knows. A network target's protocol and port are taken
// as its probe will take them, so that a value no probe can use is refused
// now, not at the end of round 1. A port out of range converts; its probe
// reports it as the target's failure.
bool checked_in_rounds(const py::dict& target, std::size_t index, const py::object& name) {
  if (py::bool_(member(target, "url", py::none()))) return true;
  if (!py::bool_(member(target, "ip", py::none()))) return false;
  const py::object protocol = member(target, "protocol", py::str("tcp"));
  if (!py::isinstance<py::str>(protocol)) {
    refuse(tr("err_settings_protocol", index, quoted(name), quoted(protocol)));
  }
  const probes::ProtocolRow* row = probes::protocol_row(protocol);
  if (row == nullptr) return false;
  if (row->uses_port) {
    const py::object port = member(target, "port", py::int_(0));
    if (ordinary_error([&] { probes::probe_port(port); })) {
      refuse(tr("err_settings_port", index, quoted(name), quoted(port)));
    }
  }
  return true;
}

// A member of a loaded state, where that is text.
std::optional<std::string> text_member(const py::object& state, std::string_view key) {
  if (!py::isinstance<py::dict>(state)) return std::nullopt;
  const py::object value = py::reinterpret_borrow<py::dict>(state).attr("get")(from_text(key));
  if (!py::isinstance<py::str>(value)) return std::nullopt;
  return text_keeping_surrogates(value);
}

// When a state file was last saved, where there is one to ask.
std::optional<std::int64_t> saved_at(const py::object& path) {
  std::optional<std::int64_t> at;
  (void)ordinary_error([&] {
    at = py::module_::import("os").attr("stat")(system_path(path)).attr("st_mtime_ns").cast<std::int64_t>();
  });
  return at;
}

// What the start-up finds of a checked target's files, the plain file read as
// the round will read it. One that cannot be read now records nothing: the
// target's round then says why, as for any state file.
StateFileFinding find_state_files(const py::object& name) {
  StateFileFinding found;
  found.name = text_keeping_surrogates(name);
  const py::object plain_file = call("get_custom_state_file", name);
  found.plain_key = case_blind_key(text_keeping_surrogates(plain_file));
  found.plain_saved = saved_at(plain_file);
  found.own_saved = saved_at(from_text(own_custom_state_file(found.name)));
  py::object state = py::none();
  (void)ordinary_error([&] { state = call("load_state", plain_file); });
  found.owner = text_member(state, kOwnerMember);
  found.earlier_owner = text_member(state, kEarlierOwnerMember);
  return found;
}

// Gives each checked target the file choose_state_files chooses. A plain file
// that does not yet record the name of the target that takes it will record
// it from the target's first check on.
void settle_state_files(std::vector<CustomTarget>& targets, const std::vector<std::size_t>& checked) {
  std::vector<StateFileFinding> findings;
  for (const std::size_t at : checked) findings.push_back(find_state_files(targets[at].name));
  const std::vector<StateFile> chosen = choose_state_files(findings);
  for (std::size_t i = 0; i < checked.size(); ++i) {
    CustomTarget& target = targets[checked[i]];
    if (chosen[i] == StateFile::Own) {
      target.own_state_file = from_text(own_custom_state_file(findings[i].name));
    } else {
      target.name_recorded = findings[i].owner == findings[i].name;
    }
  }
}

// Has a plain state file record the name of the target that keeps its state
// there, before that target's check, so that a clashing name added later, or
// one whose target is switched off, never takes this target's state for its
// own. The state is read and written as the check reads and writes it.
void record_name(CustomTarget& target, const py::object& plain_file) {
  if (target.name_recorded) return;
  const py::object state = call("load_state", plain_file);
  if (py::isinstance<py::dict>(state)) {  // anything else is the check's to refuse
    state[from_text(kOwnerMember)] = target.name;
    call("save_state", state, plain_file);
  }
  target.name_recorded = true;
}

// The enabled user-defined targets of the record, each of the shape a run
// needs. Among the targets the rounds check, the same name twice, or a name
// like an enabled built-in target's, would merge two targets in the rounds and
// the report, and is refused. Names that differ only in characters a file
// name drops, or in letter case, would share one state file (and so each
// other's notices): each keeps a file of its own (settle_state_files). A
// target the rounds never check takes part in neither.
std::vector<CustomTarget> custom_targets(const py::handle& record, const std::vector<std::string>& built_in_names) {
  py::object targets = member(record, "custom_targets", py::list());
  if (!py::isinstance<py::list>(targets)) {
    refuse(tr("err_settings_not_a_list", py::str(py::type::handle_of(targets).attr("__name__"))));
  }
  std::vector<CustomTarget> out;
  std::vector<std::size_t> checked;                                // where in out
  std::vector<std::pair<std::size_t, py::object>> checked_names;  // settings number and name
  std::size_t index = 0;
  for (const py::handle& item : targets) {
    ++index;
    if (!py::isinstance<py::dict>(item)) refuse(tr("err_settings_not_a_map", index, quoted(item)));
    const auto target = py::reinterpret_borrow<py::dict>(item);
    if (!target_enabled(target)) continue;
    CustomTarget custom{target, target_name(target, index)};
    const py::object& name = custom.name;
    if (checked_in_rounds(target, index, name)) {
      for (const auto& built_in : built_in_names) {
        if (name.equal(py::str(built_in))) {
          refuse(tr("err_settings_built_in_name", index, quoted(name), built_in));
        }
      }
      for (const auto& [other, other_name] : checked_names) {
        if (other_name.equal(name)) refuse(tr("err_settings_same_name", other, index, quoted(name)));
      }
      checked_names.emplace_back(index, name);
      checked.push_back(out.size());
    }
    out.push_back(std::move(custom));
  }
  settle_state_files(out, checked);
  return out;
}

std::string number_text(const py::handle& value) { return py::str(value); }

Seconds seconds_of(const py::handle& value) {
  if (py::isinstance<py::float_>(value)) return value.cast<double>();
  const py::int_ whole(py::reinterpret_borrow<py::object>(value));
  int overflow = 0;
  const long long seconds = PyLong_AsLongLongAndOverflow(whole.ptr(), &overflow);
  if (overflow == 0) {
    if (seconds == -1 && PyErr_Occurred()) throw py::error_already_set();
    return seconds;
  }
  // A whole number of any size: as a float, and beyond the floats as an
  // infinite one, whose wait is the longest a wait can be.
  const double as_float = PyLong_AsDouble(whole.ptr());
  if (as_float == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    return overflow > 0 ? std::numeric_limits<double>::infinity() : -std::numeric_limits<double>::infinity();
  }
  return as_float;
}

py::object seconds_object(Seconds s) {
  return std::visit([](auto v) -> py::object { return py::cast(v); }, s);
}

// One round's outcome in check order; the round log merges repeated names.
struct RoundOutcome {
  std::vector<std::pair<std::string, bool>> results;
  std::vector<std::pair<std::string, std::int64_t>> latency;
};

void check_target(RoundOutcome& round, const py::object& name, const py::object& check_fn,
                  const py::object& state_file) {
  py::tuple result = call("process_service", name, check_fn, state_file);
  const std::string key = text_keeping_surrogates(name);
  round.results.emplace_back(key, py::bool_(py::object(result[0])));
  if (!result[3].is_none()) round.latency.emplace_back(key, py::int_(py::object(result[3])).cast<std::int64_t>());
}

void run_round(const py::handle& record, std::vector<CustomTarget>& targets, long long number,
               RoundLog& kept) {
  info_literal("");
  info_literal(kBanner);
  info("mon_round", number);
  if (!py::bool_(call("is_cdp_ready"))) {
    warning("chrome_disconnected");
    call("ensure_chrome", py::arg("exit_on_fail") = false);
  }
  RoundOutcome round;
  for (const auto& toggle : kTargetToggles) {
    if (!switched_on(record, toggle.key)) continue;
    check_target(round, py::str(std::string(toggle.display_name)), attr(std::string(toggle.check_function).c_str()),
                 attr(std::string(toggle.state_file_setting).c_str()));
  }
  for (auto& custom : targets) {
    const py::object& name = custom.name;
    py::object state_file =
        custom.own_state_file.is_none() ? call("get_custom_state_file", name) : custom.own_state_file;
    py::object check_fn;
    py::object url = member(custom.target, "url", py::none());
    py::object ip = member(custom.target, "ip", py::none());
    if (py::bool_(url)) {
      check_fn = py::cpp_function([name, url] { return call("check_custom_url", name, url); });
    } else if (py::bool_(ip)) {
      check_fn = call("_make_protocol_check_fn", name, ip, member(custom.target, "port", py::int_(0)),
                      member(custom.target, "protocol", py::str("tcp")));
      if (check_fn.is_none()) continue;
    } else {
      continue;
    }
    record_name(custom, state_file);
    check_target(round, name, check_fn, state_file);
  }
  const std::vector<std::pair<std::string_view, bool>> results(round.results.begin(), round.results.end());
  const std::vector<std::pair<std::string_view, std::int64_t>> latency(round.latency.begin(), round.latency.end());
  kept.append(number, local_time("%H:%M:%S"), results, latency);

  const int jitter = draw_jitter();
  const Seconds wait = round_wait(seconds_of(attr("INTERVAL_SECONDS")), jitter);
  info("mon_round_done", number, seconds_object(wait), jitter);
  sleep(to_double(wait));
}

void main_run() {
  call("init_lang", attr("CONFIG_FILE"));
  py::object record = call("load_gui_config");
  std::vector<std::string> enabled;
  for (const auto& toggle : kTargetToggles)
    if (switched_on(record, toggle.key)) enabled.emplace_back(toggle.display_name);
  std::vector<CustomTarget> targets = custom_targets(record, enabled);
  for (const auto& custom : targets) enabled.push_back(text_keeping_surrogates(custom.name));
  const std::string targets_line = targets_text(enabled, tr("gui_disabled"));

  info_literal(kBanner);
  info("mon_startup", shown(attr("INTERVAL_SECONDS")), shown(attr("RETRY_COUNT")));
  call("ensure_chrome");
  info("mon_press_ctrl_c");
  info_literal(kBanner);

  const std::string colon(alerts::kFullWidthColon);
  call("send_alert", from_text(tr("alert_startup_title") + "\n\n" + tr("alert_field_time") + colon +
                               local_time("%Y-%m-%d %H:%M:%S") + "\n" + tr("alert_field_interval") + colon +
                               number_text(attr("INTERVAL_SECONDS")) + kSecondsUnit + "\n" +
                               tr("alert_field_retry") + colon + number_text(attr("RETRY_COUNT")) + kTimesUnit +
                               "\n" + tr("alert_field_targets") + colon + targets_line));

  // The newest RoundLog::kKeep rounds, owned by Python from the start: the
  // report writer gets them without a copy, and whatever it keeps of them
  // stays valid after the run.
  py::object kept_rounds = py::type::of<RoundLog>()();
  RoundLog& kept = kept_rounds.cast<RoundLog&>();
  py::object start_time = py::module_::import("datetime").attr("datetime").attr("now")();
  long long counter = 0;
  // The kept rounds reach the report however the run ends: at the stop before
  // the stop notice, which a robot that does not answer can hold up while an
  // impatient user presses Ctrl+C again; on an error that ends the run (a state
  // file broken by hand, a full disk) before the error goes on.
  const auto save_report = [&] {
    if (!kept.empty()) call("_save_run_report", start_time, counter, kept_rounds);
  };
  try {
    while (true) {
      ++counter;
      run_round(record, targets, counter, kept);
    }
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_KeyboardInterrupt)) {
      if (is_ordinary(e)) save_report();
      throw;
    }
  } catch (const std::exception&) {
    save_report();
    throw;
  }
  info_literal("");
  info_literal(kBanner);
  info("mon_stop_signal");
  save_report();
  call("send_alert", from_text(tr("alert_stop_title") + "\n\n" + tr("alert_field_time") + colon +
                               local_time("%Y-%m-%d %H:%M:%S") + "\n" + tr("alert_field_rounds") + colon +
                               std::to_string(counter) + kRoundsUnit + "\n" + tr("alert_field_targets") + colon +
                               targets_line));
}

}  // namespace

void register_run(py::module_& m) { m.def("main", &main_run); }

}  // namespace engine
