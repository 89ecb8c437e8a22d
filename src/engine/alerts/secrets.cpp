#include "engine/alerts/secrets.h"

#include <algorithm>

namespace engine::alerts {
namespace {

// Every appearance of secret in text as shown, left to right, none overlapping.
std::string replace_all(std::string_view text, std::string_view secret, std::string_view shown) {
  if (secret.empty() || secret == shown) return std::string(text);
  std::string out;
  for (std::size_t at; (at = text.find(secret)) != std::string_view::npos;) {
    out.append(text.substr(0, at)).append(shown);
    text.remove_prefix(at + secret.size());
  }
  return out.append(text);
}

// Where the address's path begins: the first "/" or "?" after the host (the
// host follows "://", or starts the text of an address without a scheme).
std::size_t path_start(std::string_view address) {
  const std::size_t scheme = address.find("://");
  const std::size_t host = scheme == std::string_view::npos ? 0 : scheme + 3;
  return std::min(address.find_first_of("/?#", host), address.size());
}

// The address with its token hidden: each non-empty query value and, when
// the token is in the path, its last non-empty segment. The fragment stays.
std::string masked(std::string_view address, bool token_in_path) {
  const std::size_t end = std::min(address.find('#'), address.size());
  const std::size_t query = std::min(address.find('?'), end);
  std::string out(address.substr(0, query));
  if (token_in_path) {
    const std::size_t start = path_start(address);
    std::size_t last = out.find_last_not_of('/');
    if (last != std::string::npos && last >= start) {
      const std::size_t segment = out.rfind('/', last) + 1;
      if (segment > start) out.replace(segment, last + 1 - segment, kHidden);
    }
  }
  if (query < end) {
    out += '?';
    std::string_view members = address.substr(query + 1, end - query - 1);
    for (bool first = true;; first = false) {
      const std::size_t amp = members.find('&');
      const std::string_view member = members.substr(0, amp);
      if (!first) out += '&';
      const std::size_t equals = member.find('=');
      out += equals == std::string_view::npos || equals + 1 == member.size()
                 ? std::string(member)
                 : std::string(member.substr(0, equals + 1)).append(kHidden);
      if (amp == std::string_view::npos) break;
      members.remove_prefix(amp + 1);
    }
  }
  return out.append(address.substr(end));
}

}  // namespace

std::string hide_webhook_token(std::string_view text, Robot robot, std::string_view address) {
  const std::string whole = masked(address, robot == Robot::Feishu);
  std::string out = replace_all(text, address, whole);
  // The client names only the part from the path on (without the fragment).
  const std::size_t start = path_start(address);
  const std::size_t end = std::min(address.find('#'), address.size());
  if (start >= end) return out;
  const std::string_view tail = address.substr(start, end - start);
  const std::size_t whole_end = std::min(whole.find('#'), whole.size());
  return replace_all(out, tail, std::string_view(whole).substr(path_start(whole), whole_end - path_start(whole)));
}

std::string hide_password(std::string_view text, std::string_view password) {
  return replace_all(text, password, kHidden);
}

}  // namespace engine::alerts
