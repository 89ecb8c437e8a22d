// engine.core: the whole set-up runs once, when the host loads the module.
#include <pybind11/stl.h>

#include "engine/common/visible_text.h"
#include "engine/os/files.h"
#include "engine/py/shell_py.h"
#include "engine/registry_py.h"

namespace engine {
namespace {

// Step 1: on Windows the console streams print UTF-8. A stream without
// reconfigure, or an OS error, ends the step quietly.
void switch_console_to_utf8() {
  py::module_ sys = py::module_::import("sys");
  if (py::str(sys.attr("platform")).cast<std::string>() != "win32") return;
  try {
    for (const char* name : {"stdout", "stderr"}) {
      sys.attr(name).attr("reconfigure")(py::arg("encoding") = "utf-8");
    }
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_AttributeError) && !e.matches(PyExc_OSError)) throw;
  }
}

// Step 2: the outside modules; each is required.
void bind_outside_modules(py::module_& m) {
  m.attr("requests") = py::module_::import("requests");
  m.attr("sync_playwright") = py::module_::import("playwright.sync_api").attr("sync_playwright");
  py::module_ i18n = py::module_::import("i18n");
  m.attr("tr") = i18n.attr("tr");
  m.attr("init_lang") = i18n.attr("init_lang");
  m.attr("set_lang") = i18n.attr("set_lang");
}

py::list text_list(std::initializer_list<const char*> texts) {
  py::list list;
  for (const char* text : texts) list.append(text);
  return list;
}

// Step 3: the process-wide settings, in their order.
void define_settings(py::module_& m) {
  py::module_ os_path = py::module_::import("os.path");
  m.attr("WEBHOOK") = "";
  m.attr("FEISHU_WEBHOOK") = "";
  m.attr("WECOM_WEBHOOK") = "";
  m.attr("SMTP_HOST") = "smtp.example.com";
  m.attr("SMTP_PORT") = 465;
  m.attr("SMTP_USER") = "monitor-noreply@example.com";
  m.attr("SMTP_PASSWORD") = "";
  m.attr("EMAIL_RECIPIENTS") = "";
  m.attr("CDP_URL") = "http://127.0.0.1:9222";
  m.attr("CHROME_PATHS") = text_list({R"(C:\Program Files\Google\Chrome\Application\chrome.exe)",
                                       R"(C:\Program Files (x86)\Google\Chrome\Application\chrome.exe)",
                                       "google-chrome", "chrome", "chromium", "google-chrome-stable"});
  // Through os.environ, which decodes TEMP as the platform does: a Windows
  // profile under a Chinese user name is not UTF-8 in the C runtime's view.
  py::object temp = py::module_::import("os").attr("environ").attr("get")("TEMP", "/tmp");
  m.attr("CHROME_USER_DATA") = os_path.attr("join")(temp, "chrome_debug");
  m.attr("CHROME_EXTRA_ARGS") = py::list();
  m.attr("SEARCH_URL") = "https://scholar.google.com/scholar?q={keyword}";
  m.attr("SEARCH_KEYWORDS") = text_list({"network", "sd-wan", "artificial intelligence", "machine learning",
                                          "cloud computing", "cyber security"});
  m.attr("RETRY_COUNT") = 3;
  m.attr("RETRY_DELAY") = 3;
  m.attr("INTERVAL_SECONDS") = 60;
  m.attr("STATE_FILE") = "scholar_state.json";
  m.attr("GEMINI_URL") = "https://gemini.google.com/";
  m.attr("GEMINI_STATE_FILE") = "gemini_state.json";
  m.attr("GOOGLE_URL") = "https://www.google.com/";
  m.attr("GOOGLE_STATE_FILE") = "google_state.json";
  m.attr("CHATGPT_URL") = "https://chatgpt.com/";
  m.attr("CHATGPT_STATE_FILE") = "chatgpt_state.json";
  m.attr("GITHUB_URL") = "https://github.com/";
  m.attr("GITHUB_STATE_FILE") = "github_state.json";
  m.attr("CLAUDE_URL") = "https://claude.ai/";
  m.attr("CLAUDE_STATE_FILE") = "claude_state.json";
  m.attr("NOTEBOOKLM_URL") = "https://notebooklm.google.com/";
  m.attr("NOTEBOOKLM_STATE_FILE") = "notebooklm_state.json";
  m.attr("LINKEDIN_URL") = "https://www.linkedin.com/";
  m.attr("LINKEDIN_STATE_FILE") = "linkedin_state.json";
  m.attr("ERROR_DIR") = "error_pages";
}

// Step 4: the log lies beside the packaged executable, or beside this module.
void define_app_dir(py::module_& m) {
  py::module_ sys = py::module_::import("sys");
  py::module_ os_path = py::module_::import("os.path");
  py::object app_dir;
  if (py::bool_(py::getattr(sys, "frozen", py::bool_(false)))) {
    app_dir = os_path.attr("dirname")(sys.attr("executable"));
  } else {
    // __file__ is set only after the init function returns; ask the loader instead.
    // The loader's path is bytes in the file system's encoding, as os.fsdecode reads them.
    const py::bytes file(os::module_file(reinterpret_cast<const void*>(&define_app_dir)));
    app_dir = os_path.attr("dirname")(os_path.attr("abspath")(py::module_::import("os").attr("fsdecode")(file)));
  }
  m.attr("_APP_DIR") = app_dir;
  m.attr("LOG_FILE") = os_path.attr("join")(app_dir, "scholar_monitor.log");
}

// Step 5: logger "Quorvelta" at INFO, to the log file (line-buffered) and to standard error.
void set_up_log(py::module_& m) {
  py::module_ logging = py::module_::import("logging");
  py::object logger = logging.attr("getLogger")("Quorvelta");
  logger.attr("setLevel")(logging.attr("INFO"));
  py::object formatter =
      logging.attr("Formatter")("%(asctime)s [%(levelname)s] %(message)s", py::arg("datefmt") = "%Y-%m-%d %H:%M:%S");
  // The log's lines show the values a record quotes visibly: a name, a page
  // title or a failure text that holds a line break or a terminal sequence
  // must not start a record of its own nor drive the console. A library's
  // multi-line text keeps its indented continuation lines, and a lone
  // surrogate, which the UTF-8 log file cannot take, shows as its escape.
  // Only the written line changes: the record keeps its format and values.
  py::object format_message = formatter.attr("formatMessage");
  formatter.attr("formatMessage") = py::cpp_function([format_message](const py::handle& record) {
    const py::object message = record.attr("message");
    // Most records hold nothing to show: str.isprintable() is false for every
    // control, line separator and lone surrogate, so only those are rewritten.
    if (!message.attr("isprintable")().cast<bool>()) {
      const std::string text = shell::text_escaping_surrogates(message);
      record.attr("message") = shell::from_text(visible_text(text, LineBreaks::KeepIndented));
    }
    return format_message(record);
  });
  py::object file_handler = logging.attr("FileHandler")(m.attr("LOG_FILE"), py::arg("encoding") = "utf-8");
  file_handler.attr("setFormatter")(formatter);
  py::object stream = file_handler.attr("stream");
  if (py::hasattr(stream, "reconfigure")) stream.attr("reconfigure")(py::arg("line_buffering") = true);
  py::object console_handler = logging.attr("StreamHandler")(py::module_::import("sys").attr("stderr"));
  console_handler.attr("setFormatter")(formatter);
  logger.attr("addHandler")(file_handler);
  logger.attr("addHandler")(console_handler);
  m.attr("logger") = logger;
  m.attr("formatter") = formatter;
  m.attr("file_handler") = file_handler;
  m.attr("console_handler") = console_handler;
}

void set_up(py::module_& m) {
  switch_console_to_utf8();
  bind_outside_modules(m);
  define_settings(m);
  define_app_dir(m);
  set_up_log(m);
  // Step 6: the state of a target without a state file; users copy it.
  py::dict default_state;
  default_state["status"] = "UP";
  default_state["down_time"] = "";
  m.attr("DEFAULT_STATE") = default_state;
  // Step 7: the module operations, subsystem by subsystem.
  register_state(m);
  register_settings_file(m);
  register_report(m);
  register_viewer(m);
  register_run(m);
  register_probes(m);
  register_protocol_check(m);
  register_alert_text(m);
  register_channels(m);
  register_email(m);
  register_chrome(m);
  register_screenshots(m);
  register_page_check(m);
  register_wrappers(m);
  register_site_checks(m);
}

}  // namespace
}  // namespace engine

// The entry point is written out rather than taken from PYBIND11_MODULE, which
// wraps every failure of the set-up in "ImportError: initialization failed":
// here the import fails with the set-up's own error (a log file that cannot be
// opened is an OSError, a Ctrl+C a KeyboardInterrupt), so every host sees what
// went wrong.
PYBIND11_PLUGIN_IMPL(core) {
  using namespace engine;
  PYBIND11_CHECK_PYTHON_VERSION
  PYBIND11_ENSURE_INTERNALS_READY
  static PyModuleDef definition{PyModuleDef_HEAD_INIT, "core", nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr};
  try {
    auto m = py::reinterpret_steal<py::module_>(PyModule_Create(&definition));
    if (!m) return nullptr;
    set_up(m);
    return m.release().ptr();
  } catch (py::error_already_set& e) {
    e.restore();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_ImportError, e.what());
  }
  return nullptr;
}
