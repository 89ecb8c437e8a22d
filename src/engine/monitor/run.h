#pragma once
// The rules of a monitoring run that do not depend on Python: the built-in
// targets and their order, the targets text, and the wait between rounds.
#include <array>
#include <variant>
#include <string>
#include <string_view>
#include <vector>

namespace engine {

// One built-in target: its switch in the settings record, its display name,
// and the module names of its check function and its state-file setting.
struct TargetToggle {
  std::string_view key;
  std::string_view display_name;
  std::string_view check_function;
  std::string_view state_file_setting;
};

inline constexpr std::array<TargetToggle, 8> kTargetToggles{{
    {"google_enabled", "Google", "check_google_home", "GOOGLE_STATE_FILE"},
    {"scholar_enabled", "Google Scholar", "check_google", "STATE_FILE"},
    {"gemini_enabled", "Gemini", "check_gemini", "GEMINI_STATE_FILE"},
    {"chatgpt_enabled", "ChatGPT", "check_chatgpt", "CHATGPT_STATE_FILE"},
    {"github_enabled", "GitHub", "check_github", "GITHUB_STATE_FILE"},
    {"claude_enabled", "Claude", "check_claude", "CLAUDE_STATE_FILE"},
    {"notebooklm_enabled", "NotebookLM", "check_notebooklm", "NOTEBOOKLM_STATE_FILE"},
    {"linkedin_enabled", "LinkedIn", "check_linkedin", "LINKEDIN_STATE_FILE"},
}};

// The enabled targets' names joined by " / ", or when_empty when there are none.
std::string targets_text(const std::vector<std::string>& names, std::string_view when_empty);

// The jitter added to every wait: uniform over -15..15, both included.
inline constexpr int kJitterMin = -15;
inline constexpr int kJitterMax = 15;
int draw_jitter();

// Rounds never start closer together than this many seconds.
inline constexpr int kMinimumWait = 5;

// A number of seconds as the settings hold it: a whole number stays whole
// (60 + 3 waits 63, not 63.0), a fraction stays a fraction.
using Seconds = std::variant<long long, double>;

// The wait after a round: interval + jitter when that is more than
// kMinimumWait, otherwise kMinimumWait.
Seconds round_wait(Seconds interval, int jitter);
double to_double(Seconds s);

}  // namespace engine
