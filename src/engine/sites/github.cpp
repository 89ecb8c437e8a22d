// GitHub is up when its page shows one of the marks of its pages, or else
// names GitHub in its title.
#include <utility>

#include "engine/sites/site_checks.h"
#include "engine/sites/site_rules.h"

namespace engine::sites {
namespace {

constexpr std::array<std::string_view, 6> kKeyElements = {
    "[aria-label='Homepage']", "[aria-label='GitHub']", "img[alt*='GitHub']",
    ".Header",                 "[data-hydro-click]",    "meta[name='github-keyboard-shortcuts']",
};

CheckResult github_test(PageCheck& check) {
  if (first_found(check.page(), kKeyElements)) return check.ok();
  // A title that cannot be read counts as one without the word.
  const bool named = ignore_errors([&] { return contains(check.env().lower(check.page().title()), "github"); })
                         .value_or(false);
  if (named) return check.ok();
  return check.fail(Level::Warning, "err_no_key_element", {check.member().display_name}, "ui_not_ready");
}

}  // namespace

Site github_site(std::string address) {
  Member m;
  m.site_key = "github";
  m.display_name = "GitHub";
  m.address = std::move(address);
  m.load_timeout_ms = 15000;
  return {std::move(m), github_test};
}

}  // namespace engine::sites
