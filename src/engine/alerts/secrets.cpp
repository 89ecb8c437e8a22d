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

// --- words -------------------------------------------------------------------

// Non-ASCII punctuation and symbols next to which a word ends: Latin-1's,
// general punctuation, CJK punctuation, the full-width forms' punctuation.
bool is_punctuation(char32_t cp) {
  return (cp >= 0xA1 && cp <= 0xBF) || cp == 0xD7 || cp == 0xF7 || (cp >= 0x2010 && cp <= 0x205E) ||
         (cp >= 0x3001 && cp <= 0x303F) || (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF01 && cp <= 0xFF0F) ||
         (cp >= 0xFF1A && cp <= 0xFF20) || (cp >= 0xFF3B && cp <= 0xFF40) || (cp >= 0xFF5B && cp <= 0xFF65);
}

bool is_ascii_letter(char c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; }

// Whether the non-ASCII character that starts at text[pos] is a letter
// (Hangul, Cyrillic, Chinese): neither white space nor punctuation; pos moves
// past it. A broken sequence is none.
bool non_ascii_letter(std::string_view text, std::size_t& pos) {
  if (space_at(text, pos) > 0) return false;
  try {
    return !is_punctuation(utf8::decode(text, pos));
  } catch (const std::invalid_argument&) {
    return false;
  }
}

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

// The last non-empty segment of a path, where a hook keeps its token.
std::string_view last_segment(std::string_view path) {
  const std::size_t last = path.find_last_not_of('/');
  if (last == npos) return {};
  const std::size_t slash = path.rfind('/', last);
  return slash == npos ? std::string_view() : path.substr(slash + 1, last - slash);
}

// Calls member(value) for each member of a query that has a value.
template <class F>
void for_each_value(std::string_view query, F&& member) {
  while (!query.empty()) {
    const std::size_t amp = query.find('&');
    const std::string_view one = query.substr(0, amp);
    const std::size_t equals = one.find('=');
    if (equals != npos && equals + 1 < one.size()) member(one.substr(equals + 1));
    if (amp == npos) break;
    query.remove_prefix(amp + 1);
  }
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

// A last path segment longer than this is a token whatever it holds: no
// word of a robot's path is that long, and every robot's token is longer.
constexpr std::size_t kLongestWord = 23;

// Whether a path segment (as the server reads it) is a token rather than a
// word of the service's path ("send", "hook", "发送", "incoming-webhook"):
// it holds a digit, a sign, a blank or a control character, anything but
// letters of any script and the "-", "_" and "." that join words, or it is
// longer than a word. The robots' tokens (hex, UUIDs) always are.
bool looks_like_token(std::string_view segment) {
  std::size_t length = 0;
  for (std::size_t pos = 0; pos < segment.size(); ++length) {
    if (static_cast<unsigned char>(segment[pos]) >= 0x80) {
      if (!non_ascii_letter(segment, pos)) return true;
    } else if (is_ascii_letter(segment[pos]) || in("-_.", segment[pos])) {
      ++pos;
    } else {
      return true;
    }
  }
  return length > kLongestWord;
}

// Whether a path's last segment is a hook's id: it follows a segment "hook",
// as in Feishu's /open-apis/bot/v2/hook/<id>, and may be made of letters alone.
bool is_hook_id(std::string_view path, std::string_view segment) {
  const std::string_view before = path.substr(0, static_cast<std::size_t>(segment.data() - path.data()));
  return last_segment(before) == "hook";
}

// What a text may not show of the robot addresses configured: each of their
// query values, and each last path segment that is a hook's id or a token,
// whichever robot's field the address was put in (a Feishu hook pasted into
// the DingTalk field keeps its token in the path all the same), or whatever
// it holds where the field is one whose robot keeps its token there.
class Secrets {
 public:
  Secrets(const std::vector<std::string>& addresses, bool token_in_path) {
    std::vector<std::string_view> forms;
    for (const std::string& address : addresses) {
      if (!address.empty()) forms.insert(forms.end(), {address, strip(address)});
    }
    for (const std::string_view form : forms) {
      const AddressParts address = parts(form);
      for_each_value(address.query, [&](std::string_view value) { written_.emplace_back(value); });
      const std::string_view segment = last_segment(address.path);
      if (segment.empty()) continue;
      if (token_in_path || is_hook_id(address.path, segment) || looks_like_token(percent_decoded(segment))) {
        written_.emplace_back(segment);
      }
    }
    // The longest first, so that none is left half hidden by a shorter one inside it.
    std::sort(written_.begin(), written_.end(), [](const auto& a, const auto& b) { return a.size() > b.size(); });
    for (const std::string& secret : written_) read_.push_back(percent_decoded(secret));
    for (const std::string_view form : forms) {
      std::string path;
      (void)shown_path(parts(form).path, &path);
      paths_.push_back(std::move(path));
    }
  }

  // Each secret as an address holds it.
  const std::vector<std::string>& written() const { return written_; }

  // Whether a component of an address, as the server reads it, is a secret.
  bool holds(std::string_view read) const { return std::find(read_.begin(), read_.end(), read) != read_.end(); }

  // Whether a path, as shown_path reads it, leads to a configured robot.
  bool leads_to_robot(std::string_view read) const {
    return std::find(paths_.begin(), paths_.end(), read) != paths_.end();
  }

  // The path (empty, or from its first "/" on) with each secret segment
  // hidden, up to where the segment ends;
  // `read` gets the path as the server reads it, its secrets (and any the
  // text already shows hidden) as kHidden.
  std::string shown_path(std::string_view path, std::string* read) const {
    std::string out;
    for (std::size_t at = 0; at < path.size();) {
      const std::size_t next = std::min(path.find('/', at + 1), path.size());
      const std::string_view segment = path.substr(at + 1, next - at - 1);
      const std::size_t end = std::min(segment.find_first_of(kSegmentEnds), segment.size());
      const std::string value = percent_decoded(segment.substr(0, end));
      const bool secret = end > 0 && holds(value);
      out.append("/").append(secret ? kHidden : segment.substr(0, end)).append(segment.substr(end));
      read->append("/").append(secret ? kHidden : value);
      at = next;
    }
    return out;
  }

 private:
  std::vector<std::string> written_;
  std::vector<std::string> read_;
  std::vector<std::string> paths_;
};

// Whether text[at] starts the value of a query member ("?name=" or "&name=").
bool value_starts(std::string_view text, std::size_t at) {
  if (at == 0 || text[at - 1] != '=') return false;
  for (std::size_t p = at - 1; p > 0; --p) {
    if (in("?&", text[p - 1])) return true;
    if (text[p - 1] == '=' || in(kValueEnds, text[p - 1])) return false;
  }
  return false;
}

// Hides a secret wherever it stands as a path segment or a query value and
// ends there, in whatever address of the text. This finds a value even
// where it holds a blank or a quote, which cut a quoted address short.
void hide_where_it_stands(std::string& text, std::string_view secret) {
  for (std::size_t at = text.find(secret); at != npos; at = text.find(secret, at + 1)) {
    const std::size_t end = at + secret.size();
    const bool segment = at > 0 && text[at - 1] == '/' && ends_at(text, end, kSegmentEnds);
    if (segment || (value_starts(text, at) && ends_at(text, end, kValueEnds))) text.replace(at, secret.size(), kHidden);
  }
}

// An address that a text quotes, however the client wrote it, with its
// secrets hidden; one that leads to a configured robot has all its query
// values hidden, as they are that robot's. The fragment stays.
std::string shown_address(std::string_view address, const Secrets& secrets) {
  const std::size_t end = std::min(address.find('#'), address.size());
  const std::size_t start = std::min(path_start(address), end);
  const std::size_t query = std::min(address.find('?', start), end);
  std::string read;
  std::string out(address.substr(0, start));
  out += secrets.shown_path(address.substr(start, query - start), &read);
  const bool robots = secrets.leads_to_robot(read);
  if (query < end) {
    out += '?';
    std::string_view members = address.substr(query + 1, end - query - 1);
    for (bool first = true;; first = false) {
      const std::size_t amp = members.find('&');
      const std::string_view member = members.substr(0, amp);
      if (!first) out += '&';
      const std::size_t equals = std::min(member.find('='), member.size());
      const std::string_view value = member.substr(std::min(equals + 1, member.size()));
      const std::size_t value_end = std::min(value.find_first_of(kValueEnds), value.size());
      const bool secret = value_end > 0 && (robots || secrets.holds(percent_decoded(value.substr(0, value_end))));
      out += secret ? std::string(member.substr(0, equals + 1)).append(kHidden).append(value.substr(value_end))
                    : std::string(member);
      if (amp == npos) break;
      members.remove_prefix(amp + 1);
    }
  }
  return out.append(address.substr(end));
}

// --- the password -------------------------------------------------------------

// Whether the character that starts at text[pos] belongs to a word: an ASCII
// letter, digit or "_", or a non-ASCII character that is neither white space
// nor punctuation (Hangul, Cyrillic, Chinese letters).
bool word_at(std::string_view text, std::size_t pos) {
  const auto c = static_cast<unsigned char>(text[pos]);
  if (c < 0x80) return (c >= '0' && c <= '9') || is_ascii_letter(text[pos]) || c == '_';
  return non_ascii_letter(text, pos);
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

std::string hide_webhook_token(std::string_view text, const std::vector<std::string>& addresses,
                               bool token_in_path) {
  const Secrets secrets(addresses, token_in_path);
  std::string out(text);
  for (const std::string& secret : secrets.written()) hide_where_it_stands(out, secret);
  // Then every address in the text, however the client wrote it (percent-
  // encoded, its secrets perhaps already hidden above).
  std::string shown;
  for (std::size_t at = 0; at < out.size();) {
    std::size_t end = std::min(out.find_first_of(kAddressEnds, at), out.size());
    if (end == at) {
      shown += out[at++];
      continue;
    }
    const std::size_t next = end;
    while (end > at && in(kTrailing, out[end - 1])) --end;  // the sentence's, not the address's
    shown += shown_address(std::string_view(out).substr(at, end - at), secrets);
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
