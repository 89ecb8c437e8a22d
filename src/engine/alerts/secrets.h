#pragma once
// What a channel's failure may not show in the log. Logs get pasted into chats
// and bug reports, and the clients write their secrets into failure texts: the
// HTTP client the webhook address, token included, in its descriptions of a
// connection failure or a time-out; the mail server may repeat the password
// it was given in its refusal. A secret is hidden only where it stands as that
// secret, so that the rest of the text (a status code, the client's words)
// still reads as the client wrote it.
#include <string>
#include <string_view>
#include <vector>

#include "engine/alerts/webhook.h"

namespace engine::alerts {

// What stands in a secret's place.
inline constexpr std::string_view kHidden = "***";

// The failure text with the robot's secrets hidden: each value of the
// address's query and, for Feishu, its token, the last segment of its path.
// `addresses` holds the address in each form the client may quote it (as
// configured, as the client prepared it for the wire); each also counts
// without white space at its ends. A value hides where it follows "?name=" or
// "&name=" (Feishu's token, "/") and ends there. Then every address in the
// text whose path, percent-decoded, is the robot's has all its query values
// (and, for Feishu, its last segment) hidden, so that a form of the address
// the client writes that none of the above foresaw still shows no token; a
// value hidden there too ends where a value ends, so a bracket that closes
// around the address stays.
std::string hide_webhook_token(std::string_view text, Robot robot, const std::vector<std::string>& addresses);

// The failure text with the password hidden where it stands as a word of its
// own, not run together with letters or digits: a password "5" leaves "535"
// and "5.7.8" as they are. `forms` holds the password as configured and as
// the client's texts may write it (a server's reply reaches the text as a
// Python bytes literal, with its escapes).
std::string hide_password(std::string_view text, const std::vector<std::string>& forms);

}  // namespace engine::alerts
