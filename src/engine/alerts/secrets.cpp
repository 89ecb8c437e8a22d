#include "engine/alerts/secrets.h"

#include <algorithm>
#include <stdexcept>

#include "engine/alerts/alert_text.h"
#include "engine/common/utf8.h"

namespace engine::alerts {
namespace {

constexpr std::size_t npos = std::string_view::npos;

bool in(std::string_view set, char c) { return set.find(c) != npos; }

bool is_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

int hex_value(char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; }

// --- the webhook address ------------------------------------------------------

// Where an address that a text quotes ends.
constexpr std::string_view kAddressEnds = " \t\n\r\f\v'\"<>";
// What shows that a query value ends: the next member, the fragment, or what
// ends a quoted address, a bracket, an escape in a quoted text.
constexpr std::string_view kValueEnds = " \t\n\r\f\v'\"<>()[]{}\\&#";
// A path segment ends also at the next segment and at the query.
constexpr std::string_view kSegmentEnds = " \t\n\r\f\v'\"<>()[]{}\\&#/?";
// Punctuation a sentence may set right after an address.
constexpr std::string_view kTrailing = ".,;:!?";

// Whether a value that reaches up to text[pos] ends there.
bool ends_at(std::string_view text, std::size_t pos, std::string_view ends) {
  if (pos == text.size() || in(ends, text[pos])) return true;
  std::size_t after = pos;
  while (after < text.size() && in(kTrailing, text[after])) ++after;
  return after > pos && (after == text.size() || in(ends, text[after]));
}

// Where the address's path begins: the first "/" or "?" after the host (the
// host follows "://", or starts the text of an address without a scheme).
std::size_t path_start(std::string_view address) {
  const std::size_t scheme = address.find("://");
  const std::size_t host = scheme == npos ? 0 : scheme + 3;
  return std::min(address.find_first_of("/?#", host), address.size());
}

struct AddressParts {
  std::string_view path;   // up to the query or the fragment
  std::string_view query;  // without its "?", up to the fragment
};

AddressParts parts(std::string_view address) {
  const std::size_t end = std::min(address.find('#'), address.size());
  const std::size_t start = std::min(path_start(address), end);
  const std::size_t query = std::min(address.find('?', start), end);
  return {address.substr(start, query - start), query < end ? address.substr(query + 1, end - query - 1) : ""};
}

// The last non-empty segment of a path, where Feishu keeps its token.
std::string_view last_segment(std::string_view path) {
  const std::size_t last = path.find_last_not_of('/');
  if (last == npos) return {};
  const std::size_t slash = path.rfind('/', last);
  return slash == npos ? std::string_view() : path.substr(slash + 1, last - slash);
}

// Calls member(name, value) for each member of a query that has a value.
template <class F>
void for_each_value(std::string_view query, F&& member) {
  while (!query.empty()) {
    const std::size_t amp = query.find('&');
    const std::string_view one = query.substr(0, amp);
    const std::size_t equals = one.find('=');
    if (equals != npos && equals + 1 < one.size()) member(one.substr(0, equals), one.substr(equals + 1));
    if (amp == npos) break;
    query.remove_prefix(amp + 1);
  }
}

// A query value with its secret hidden: up to where the value ends, so that
// a bracket or an escape the text sets right after the address stays.
std::string hidden(std::string_view value) {
  const std::size_t end = std::min(value.find_first_of(kValueEnds), value.size());
  return end == 0 ? std::string(value) : std::string(kHidden).append(value.substr(end));
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
                 : std::string(member.substr(0, equals + 1)).append(hidden(member.substr(equals + 1)));
      if (amp == std::string_view::npos) break;
      members.remove_prefix(amp + 1);
    }
  }
  return out.append(address.substr(end));
}

// A path as the server reads it: every %XX as the byte it stands for, so
// that the client's percent-encoding of a path compares equal to the path.
std::string percent_decoded(std::string_view path) {
  std::string out;
  for (std::size_t i = 0; i < path.size(); ++i) {
    if (path[i] == '%' && i + 2 < path.size() && is_hex(path[i + 1]) && is_hex(path[i + 2])) {
      out += static_cast<char>(hex_value(path[i + 1]) * 16 + hex_value(path[i + 2]));
      i += 2;
    } else {
      out += path[i];
    }
  }
  return out;
}

// Hides value wherever it follows lead and ends there; when `after` is not
// empty, the lead itself must follow one of its characters.
void hide(std::string& text, std::string_view lead, std::string_view value, std::string_view after,
          std::string_view ends) {
  if (value.empty()) return;
  const std::string needle = std::string(lead).append(value);
  for (std::size_t at = text.find(needle); at != npos; at = text.find(needle, at + 1)) {
    if (!after.empty() && (at == 0 || !in(after, text[at - 1]))) continue;
    if (!ends_at(text, at + needle.size(), ends)) continue;
    text.replace(at + lead.size(), value.size(), kHidden);
  }
}

// --- the password -------------------------------------------------------------

// Non-ASCII punctuation and symbols next to which a word ends: Latin-1's,
// general punctuation, CJK punctuation, the full-width forms' punctuation.
bool is_punctuation(char32_t cp) {
  return (cp >= 0xA1 && cp <= 0xBF) || cp == 0xD7 || cp == 0xF7 || (cp >= 0x2010 && cp <= 0x205E) ||
         (cp >= 0x3001 && cp <= 0x303F) || (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF01 && cp <= 0xFF0F) ||
         (cp >= 0xFF1A && cp <= 0xFF20) || (cp >= 0xFF3B && cp <= 0xFF40) || (cp >= 0xFF5B && cp <= 0xFF65);
}

// Whether the character that starts at text[pos] belongs to a word: an ASCII
// letter, digit or "_", or a non-ASCII character that is neither white space
// nor punctuation (Hangul, Cyrillic, Chinese letters).
bool word_at(std::string_view text, std::size_t pos) {
  const auto c = static_cast<unsigned char>(text[pos]);
  if (c < 0x80) return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') || c == '_';
  if (space_at(text, pos) > 0) return false;
  try {
    return !is_punctuation(utf8::decode(text, pos));
  } catch (const std::invalid_argument&) {
    return true;  // a broken sequence is no separator either
  }
}

std::size_t char_before(std::string_view text, std::size_t pos) {
  std::size_t p = pos - 1;
  while (p > 0 && (static_cast<unsigned char>(text[p]) & 0xC0) == 0x80) --p;
  return p;
}

// These run two words into one ("5.7.8", "pass-word").
constexpr std::string_view kJoiners = ".-";

// Whether text[pos - 1] ends an escape of a Python literal ("\n", "\\", "\xe4"):
// a server's reply reaches the text that way, its line breaks as "\n".
bool escape_ends(std::string_view text, std::size_t pos) {
  if (pos >= 2 && text[pos - 2] == '\\' && in("abfnrtv\\'\"", text[pos - 1])) return true;
  return pos >= 4 && text[pos - 4] == '\\' && text[pos - 3] == 'x' && is_hex(text[pos - 2]) && is_hex(text[pos - 1]);
}

bool joined_before(std::string_view text, std::size_t at) {
  if (at == 0 || escape_ends(text, at)) return false;
  const std::size_t before = char_before(text, at);
  if (word_at(text, before)) return true;
  return in(kJoiners, text[before]) && before > 0 && word_at(text, char_before(text, before));
}

bool joined_after(std::string_view text, std::size_t end) {
  if (end == text.size()) return false;
  if (word_at(text, end)) return true;
  return in(kJoiners, text[end]) && end + 1 < text.size() && word_at(text, end + 1);
}

}  // namespace

std::string hide_webhook_token(std::string_view text, Robot robot, const std::vector<std::string>& addresses) {
  const bool token_in_path = robot == Robot::Feishu;
  std::vector<std::string_view> forms;
  for (const std::string& address : addresses) {
    if (!address.empty()) forms.insert(forms.end(), {address, strip(address)});
  }
  // Each secret as each form holds it, wherever it stands as that value.
  std::string out(text);
  for (const std::string_view form : forms) {
    const AddressParts address = parts(form);
    for_each_value(address.query, [&](std::string_view name, std::string_view value) {
      hide(out, std::string(name) + "=", value, "?&", kValueEnds);
    });
    if (token_in_path) hide(out, "/", last_segment(address.path), "", kSegmentEnds);
  }
  // Then every address in the text that leads to the robot, however the
  // client wrote it (its path may already show its token hidden).
  std::vector<std::string> paths;
  for (const std::string_view form : forms) {
    paths.push_back(percent_decoded(parts(form).path));
    paths.push_back(percent_decoded(parts(masked(form, token_in_path)).path));
  }
  std::string shown;
  for (std::size_t at = 0; at < out.size();) {
    std::size_t end = std::min(out.find_first_of(kAddressEnds, at), out.size());
    if (end == at) {
      shown += out[at++];
      continue;
    }
    const std::size_t next = end;
    while (end > at && in(kTrailing, out[end - 1])) --end;  // the sentence's, not the address's
    const std::string_view run = std::string_view(out).substr(at, end - at);
    const bool robots = std::find(paths.begin(), paths.end(), percent_decoded(parts(run).path)) != paths.end();
    shown += robots ? masked(run, token_in_path) : std::string(run);
    shown += std::string_view(out).substr(end, next - end);
    at = next;
  }
  return shown;
}

std::string hide_password(std::string_view text, const std::vector<std::string>& forms) {
  // The longest first, so that no form is left half hidden by a shorter one inside it.
  std::vector<std::string_view> secrets(forms.begin(), forms.end());
  std::sort(secrets.begin(), secrets.end(), [](std::string_view a, std::string_view b) { return a.size() > b.size(); });
  std::string out(text);
  for (const std::string_view secret : secrets) {
    if (secret.empty()) continue;
    for (std::size_t at = out.find(secret); at != npos; at = out.find(secret, at + 1)) {
      if (joined_before(out, at) || joined_after(out, at + secret.size())) continue;
      out.replace(at, secret.size(), kHidden);
    }
  }
  return out;
}

}  // namespace engine::alerts
