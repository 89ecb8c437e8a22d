// The built-in sites' single attempts, and the Google Scholar search with its
// retry wrapper.
#include <string>
#include <utility>
#include <vector>

#include "engine/registry_py.h"
#include "engine/sites/playwright_py.h"
#include "engine/sites/retry_py.h"
#include "engine/sites/site_checks.h"

namespace engine {
namespace {

using namespace shell;

// GEMINI_RESTRICTION_KEYWORDS as it is now. Read inside the attempt, so a
// setting that cannot be read ends it as a crash. The items are taken up to
// the first one that is no text or cannot be reached (a setting that is no
// list reaches none); that error counts only when no phrase before it matches.
sites::RestrictionPhrases gemini_restriction_phrases() {
  return page_call([] {
    sites::RestrictionPhrases list;
    const py::object setting = attr("GEMINI_RESTRICTION_KEYWORDS");
    try {
      for (py::handle item : setting) {
        if (!py::isinstance<py::str>(item)) {
          list.unusable = std::string("'in <string>' requires string as left operand, not ") +
                          Py_TYPE(item.ptr())->tp_name;
          break;
        }
        list.phrases.push_back(text_keeping_surrogates(item));
      }
    } catch (py::error_already_set& e) {
      if (!is_ordinary(e)) throw;
      list.unusable = text_keeping_surrogates(e.value());
    }
    return list;
  });
}

struct BuiltIn {
  const char* attempt;
  const char* address_setting;
  sites::Site (*make)(std::string address);
};

constexpr BuiltIn kBuiltIns[] = {
    {"check_gemini_once", "GEMINI_URL",
     [](std::string a) { return sites::gemini_site(std::move(a), gemini_restriction_phrases); }},
    {"check_google_home_once", "GOOGLE_URL", [](std::string a) { return sites::google_home_site(std::move(a)); }},
    {"check_github_once", "GITHUB_URL", [](std::string a) { return sites::github_site(std::move(a)); }},
    {"check_notebooklm_once", "NOTEBOOKLM_URL", [](std::string a) { return sites::notebooklm_site(std::move(a)); }},
    {"check_chatgpt_once", "CHATGPT_URL",
     [](std::string a) { return sites::chat_site(sites::kChatGpt, std::move(a), sites::kChatPauseSeconds); }},
    {"check_claude_once", "CLAUDE_URL",
     [](std::string a) { return sites::chat_site(sites::kClaude, std::move(a), sites::kChatPauseSeconds); }},
    {"check_linkedin_once", "LINKEDIN_URL", [](std::string a) { return sites::linkedin_site(std::move(a)); }},
};

py::tuple built_in_attempt(const BuiltIn& b, const py::object& playwright) {
  const sites::Site site = b.make(text_keeping_surrogates(attr(b.address_setting)));
  return run_member(playwright, site.member, site.test);
}

py::tuple check_once(const py::object& playwright) {
  const py::list keywords(attr("SEARCH_KEYWORDS"));
  if (keywords.empty()) raise(PyExc_IndexError, "Cannot choose from an empty sequence");
  const std::string keyword = text_keeping_surrogates(keywords[sites::draw_keyword_index(keywords.size())]);
  const std::string address = sites::scholar_address(text_keeping_surrogates(attr("SEARCH_URL")), keyword);
  return run_check(playwright, [&](sites::Session& session, const std::string& endpoint, sites::Env& env) {
    return sites::scholar_check(session, endpoint, env, keyword, address);
  });
}

// The standard loop with one info line per attempt, silent pauses, no line
// when all failed, and the last attempt's keyword in the failure result.
py::tuple check_google() {
  RetryStyle style;
  style.after_attempt = [](long long number, const py::object& keyword, const py::object& reason) {
    info("detect_attempt", number, keyword, reason);
  };
  style.failure_result = [](const py::object& last_keyword, const py::object& last_reason) {
    return py::make_tuple(py::bool_(false), last_keyword, last_reason);
  };
  return retry_loop([](const py::object& playwright) { return call("check_once", playwright); }, style);
}

}  // namespace

void register_site_checks(py::module_& m) {
  py::list phrases;
  for (std::string_view phrase : sites::kGeminiRestrictionPhrases) phrases.append(from_text(phrase));
  m.attr("GEMINI_RESTRICTION_KEYWORDS") = phrases;
  for (const BuiltIn& b : kBuiltIns) {
    m.def(b.attempt, [&b](const py::object& playwright) { return built_in_attempt(b, playwright); },
          py::arg("playwright"));
  }
  m.def("check_once", &check_once, py::arg("playwright"));
  m.def("check_google", &check_google);
}

}  // namespace engine
