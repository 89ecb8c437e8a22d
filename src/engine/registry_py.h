#pragma once
// Each subsystem makes its module operations available by name through one
// register function; module_py.cpp calls them in this order at start-up.
#include <pybind11/pybind11.h>

namespace engine {
namespace py = pybind11;

// Monitoring engine
void register_state(py::module_& m);          // load_state ... process_service
void register_settings_file(py::module_& m);  // load_gui_config, CONFIG_FILE
void register_report(py::module_& m);         // _save_run_report
void register_viewer(py::module_& m);         // cli_view_report
void register_run(py::module_& m);            // main
// Network probes
void register_probes(py::module_& m);          // check_tcp ... check_tcp_ping
void register_protocol_check(py::module_& m);  // _make_protocol_check_fn
// Alert delivery
void register_alert_text(py::module_& m);  // _parse_alert_msg, _alert_card_color, _format_markdown
void register_channels(py::module_& m);    // _check_webhook_response, send_* , send_alert
void register_email(py::module_& m);       // _parse_email_recipients, send_email
// Browser control
void register_chrome(py::module_& m);       // is_cdp_ready ... ensure_chrome
void register_screenshots(py::module_& m);  // save_debug
// Site checks
void register_page_check(py::module_& m);   // _crash_reason, check_custom_url_once
void register_wrappers(py::module_& m);     // check_custom_url and the standard wrappers
void register_site_checks(py::module_& m);  // the built-in sites' single attempts

}  // namespace engine
