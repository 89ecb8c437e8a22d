#pragma once
// What a channel's failure may not show in the log. Logs get pasted into chats
// and bug reports, and the HTTP client writes the webhook address, token
// included, into its descriptions of a connection failure or a time-out.
#include <string>
#include <string_view>

#include "engine/alerts/webhook.h"

namespace engine::alerts {

// What stands in a secret's place.
inline constexpr std::string_view kHidden = "***";

// The failure text with the robot's address hidden wherever it appears, whole
// or from its path on (the part the HTTP client names): each query value,
// and Feishu's token, the last segment of its hook's path, read kHidden.
// Nothing else of the text changes.
std::string hide_webhook_token(std::string_view text, Robot robot, std::string_view address);

// The failure text with every appearance of the password read as kHidden.
std::string hide_password(std::string_view text, std::string_view password);

}  // namespace engine::alerts
