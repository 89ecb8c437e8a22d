#pragma once
// The built-in sites' single attempts. Each member of the page-check template
// is its constants plus its own test (step 4); the shell reads the address
// setting and hands it in. The Scholar search attaches and loads its own way.
#include <array>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/sites/page.h"
#include "engine/sites/page_check.h"

namespace engine::sites {

struct Site {
  Member member;
  MemberTest test;
};

// --- Gemini ---------------------------------------------------------------------

// The default of the module setting GEMINI_RESTRICTION_KEYWORDS, in its order.
extern const std::array<std::string_view, 32> kGeminiRestrictionPhrases;
// Google's help and support site: a tab whose address holds it was sent away.
inline constexpr std::string_view kGoogleSupportHost = "support.google.com";

// The restriction phrases as the setting holds them at the time of the call.
// The phrases are tested in their order, so an item that cannot be tested (one
// that is no text) fails the attempt only when no phrase before it matched:
// `unusable` is the text of that item's error, and the phrases end before it.
struct RestrictionPhrases {
  std::vector<std::string> phrases;
  std::optional<std::string> unusable;
};
// A failure to read the setting at all is a PageError (it ends the attempt as
// a crash).
using PhraseSource = std::function<RestrictionPhrases()>;
Site gemini_site(std::string address, PhraseSource restriction_phrases);

// --- Google home and GitHub ----------------------------------------------------

Site google_home_site(std::string address);
Site github_site(std::string address);

// --- NotebookLM -------------------------------------------------------------------

Site notebooklm_site(std::string address);

// --- ChatGPT and Claude -------------------------------------------------------------

// The twins differ only in these texts.
struct ChatTwin {
  std::string_view site_key;
  std::string_view display_name;
  std::array<std::string_view, 6> selectors;   // queried in this order
  std::array<std::string_view, 2> body_words;  // lower-case
};
extern const ChatTwin kChatGpt;
extern const ChatTwin kClaude;
// The pause after a load that passed the status test.
inline constexpr double kChatPauseSeconds = 3.0;
Site chat_site(const ChatTwin& twin, std::string address, double pause_seconds);

// --- LinkedIn ---------------------------------------------------------------------

// LinkedIn's site for China, searched in the lower-cased address.
inline constexpr std::string_view kLinkedInChinaHost = "linkedin.cn";
Site linkedin_site(std::string address);

// --- Google Scholar -------------------------------------------------------------------

// The search address: every "{keyword}" of the template replaced by the
// keyword as it stands (no escaping).
std::string scholar_address(std::string_view search_url, std::string_view keyword);
// A uniform draw from 0 .. count - 1 (count > 0).
std::size_t draw_keyword_index(std::size_t count);
// One search attempt for the drawn keyword; item 2 of the result is the keyword.
CheckResult scholar_check(Session& session, const std::string& endpoint, Env& env, const std::string& keyword,
                          const std::string& address);

}  // namespace engine::sites
