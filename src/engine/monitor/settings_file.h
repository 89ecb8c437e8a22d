#pragma once
// The settings record of monitor_config.json and the bounds its two numbers
// are held to before they become process-wide settings.
#include <array>
#include <string_view>

namespace engine::settings {

// Where a key of the settings record takes its default from.
enum class Default {
  On,         // a target switch: on
  EmptyList,  // a new empty list
  Setting,    // the process-wide setting named beside it, as it is when the file is read
  EmptyText,  // ""
};

struct Key {
  std::string_view name;
  Default fallback;
  std::string_view setting;  // for Default::Setting only
};

// The record's keys in their order; keys of the file beyond these follow them.
inline constexpr std::array<Key, 18> kKeys = {{
    {"google_enabled", Default::On, {}},
    {"scholar_enabled", Default::On, {}},
    {"gemini_enabled", Default::On, {}},
    {"chatgpt_enabled", Default::On, {}},
    {"github_enabled", Default::On, {}},
    {"claude_enabled", Default::On, {}},
    {"notebooklm_enabled", Default::On, {}},
    {"linkedin_enabled", Default::On, {}},
    {"custom_targets", Default::EmptyList, {}},
    {"interval_seconds", Default::Setting, "INTERVAL_SECONDS"},
    {"retry_count", Default::Setting, "RETRY_COUNT"},
    {"webhook", Default::Setting, "WEBHOOK"},
    {"feishu_webhook", Default::Setting, "FEISHU_WEBHOOK"},
    {"wecom_webhook", Default::Setting, "WECOM_WEBHOOK"},
    {"email_recipients", Default::Setting, "EMAIL_RECIPIENTS"},
    {"smtp_user", Default::Setting, "SMTP_USER"},
    {"smtp_password", Default::Setting, "SMTP_PASSWORD"},
    {"language", Default::EmptyText, {}},
}};

// The text settings taken from the record as they are, in the order they are written.
struct TextSetting {
  std::string_view setting;
  std::string_view key;
};
inline constexpr std::array<TextSetting, 6> kTextSettings = {{
    {"WEBHOOK", "webhook"},
    {"FEISHU_WEBHOOK", "feishu_webhook"},
    {"WECOM_WEBHOOK", "wecom_webhook"},
    {"EMAIL_RECIPIENTS", "email_recipients"},
    {"SMTP_USER", "smtp_user"},
    {"SMTP_PASSWORD", "smtp_password"},
}};

inline constexpr int kMinIntervalSeconds = 5;
inline constexpr int kMaxRetryCount = 6;
inline constexpr int kMinRetryCount = 1;

// The comparisons are the caller's, so what counts as a number (and the error
// when a value is none) is the host language's own: greater(v, n) is v > n,
// less(v, n) is v < n, and bound(n) is n as a value. The result is the file's
// value itself or the bound, never a conversion of the value.

// At least kMinIntervalSeconds between rounds.
template <class V, class Greater, class Bound>
V clamp_interval(const V& value, Greater greater, Bound bound) {
  return greater(value, kMinIntervalSeconds) ? value : bound(kMinIntervalSeconds);
}

// kMinRetryCount to kMaxRetryCount attempts: the upper bound first, then the lower.
template <class V, class Less, class Greater, class Bound>
V clamp_retry_count(const V& value, Less less, Greater greater, Bound bound) {
  const V capped = less(value, kMaxRetryCount) ? value : bound(kMaxRetryCount);
  return greater(capped, kMinRetryCount) ? capped : bound(kMinRetryCount);
}

}  // namespace engine::settings
