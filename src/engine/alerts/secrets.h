#pragma once
// What a channel's failure may not show in the log. Logs get pasted into chats
// and bug reports, and the clients write their secrets into failure texts: the
// HTTP client the webhook address, token included, in its descriptions of a
// connection failure or a time-out (or the address a robot redirected the
// post to, the token carried along); the mail server may repeat the password
// it was given in its refusal. A secret is hidden only where it stands as that
// secret, so that the rest of the text (a status code, the client's words)
// still reads as the client wrote it.
#include <string>
#include <string_view>
#include <vector>

namespace engine::alerts {

// What stands in a secret's place.
inline constexpr std::string_view kHidden = "***";

// The failure text with the secrets of a robot's address hidden: each value
// of its query, and its last path segment where that is a token, not a word
// ("send"), or the id after a "hook" segment: a Feishu hook keeps its token
// there, whichever robot's field it was put in; with token_in_path (the
// Feishu field) the last segment whatever it holds. `addresses` holds the address in each form the client may
// quote it (as configured, as the client prepared it for the wire, as a
// Python literal writes it); each also counts without white space at its
// ends. A secret hides wherever it stands as a path segment or a query value
// and ends there, in any address of the text: the robot may have redirected
// the post to another address, a proxy's text quotes the whole address. Every
// address in the text is also read as the server reads it (percent-decoded):
// a component that is a secret there is hidden, and one that leads to the
// robot's path has all its query values hidden, so that a form of the address
// none of the above foresaw still shows no token. A value ends where a value
// ends, so a bracket that closes around the address stays.
std::string hide_webhook_token(std::string_view text, const std::vector<std::string>& addresses,
                               bool token_in_path = false);

// The failure text with the password hidden where it stands as a word of its
// own, not run together with letters or digits: a password "5" leaves "535"
// and "5.7.8" as they are. `forms` holds the password as configured and as
// the client's texts may write it (a server's reply reaches the text as a
// Python bytes literal, with its escapes).
std::string hide_password(std::string_view text, const std::vector<std::string>& forms);

}  // namespace engine::alerts
