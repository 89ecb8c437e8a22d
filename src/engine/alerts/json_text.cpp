#include "engine/alerts/json_text.h"

#include <stdexcept>

#include "engine/utf8.h"

namespace engine::alerts::json {
namespace {

bool digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

class Reader {
 public:
  explicit Reader(std::string_view text) : s_(text) {}

  std::optional<Document> document() {
    Document doc;
    std::vector<char> open;  // the containers we are inside, innermost last
    std::string name;
    Value member;
    std::size_t member_start = 0;  // where a member of the outer object began, 0 when none is open
    skip_space();
    doc.is_object = peek() == '{';
    while (true) {
      // A value starts here.
      skip_space();
      const bool outer_member = doc.is_object && open.size() == 1;
      if (outer_member) member_start = i_;
      const char c = peek();
      if (c == '{' || c == '[') {
        ++i_;
        skip_space();
        if (peek() == (c == '{' ? '}' : ']')) {
          ++i_;
        } else {
          open.push_back(c);
          if (c == '{' && !member_name(open.size() == 1 ? &name : nullptr)) return std::nullopt;
          continue;
        }
      } else if (outer_member && c == '"') {
        std::string content;
        if (!string(&content)) return std::nullopt;
        member.text = std::move(content);
      } else if (!scalar()) {
        return std::nullopt;
      }
      // A value ended; close every container that ends with it.
      while (true) {
        if (doc.is_object && open.size() == 1 && member_start != 0) {
          member.source = std::string(s_.substr(member_start, i_ - member_start));
          doc.members.emplace_back(std::move(name), std::move(member));
          member = Value{};
          member_start = 0;
        }
        skip_space();
        if (open.empty()) {
          if (i_ != s_.size()) return std::nullopt;
          return doc;
        }
        const char top = open.back();
        if (peek() == ',') {
          ++i_;
          if (top == '{' && !member_name(open.size() == 1 ? &name : nullptr)) return std::nullopt;
          break;
        }
        if (peek() != (top == '{' ? '}' : ']')) return std::nullopt;
        ++i_;
        open.pop_back();
      }
    }
  }

 private:
  char peek() const { return i_ < s_.size() ? s_[i_] : '\0'; }

  void skip_space() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r')) ++i_;
  }

  bool take(std::string_view word) {
    if (s_.substr(i_, word.size()) != word) return false;
    i_ += word.size();
    return true;
  }

  // "name" then ":"; the name is kept only for members of the outermost object.
  bool member_name(std::string* name) {
    skip_space();
    std::string text;
    if (!string(&text)) return false;
    skip_space();
    if (!take(":")) return false;
    if (name != nullptr) *name = std::move(text);
    return true;
  }

  bool scalar() {
    const char c = peek();
    if (c == '"') return string(nullptr);
    if (c == 't') return take("true");
    if (c == 'f') return take("false");
    if (c == 'n') return take("null");
    if (c == 'N') return take("NaN");
    if (c == 'I') return take("Infinity");
    if (c == '-' && take("-Infinity")) return true;
    return number();
  }

  bool number() {
    const std::size_t start = i_;
    if (peek() == '-') ++i_;
    if (peek() == '0') {
      ++i_;
    } else if (digit(peek())) {
      while (digit(peek())) ++i_;
    } else {
      return false;
    }
    if (peek() == '.') {
      ++i_;
      if (!digit(peek())) return false;
      while (digit(peek())) ++i_;
    }
    if (peek() == 'e' || peek() == 'E') {
      ++i_;
      if (peek() == '+' || peek() == '-') ++i_;
      if (!digit(peek())) return false;
      while (digit(peek())) ++i_;
    }
    return i_ > start;
  }

  bool hex4(char32_t& cp) {
    if (i_ + 4 > s_.size()) return false;
    cp = 0;
    for (int k = 0; k < 4; ++k) {
      const int v = hex_value(s_[i_++]);
      if (v < 0) return false;
      cp = (cp << 4) | static_cast<char32_t>(v);
    }
    return true;
  }

  // A string literal; its content goes to out when one is given. A lone
  // surrogate escape keeps its three-byte form, as a Python str keeps it.
  bool string(std::string* out) {
    if (!take("\"")) return false;
    while (i_ < s_.size()) {
      const char c = s_[i_++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c != '\\') {
        if (out) out->push_back(c);
        continue;
      }
      const char e = peek();
      ++i_;
      char plain = 0;
      switch (e) {
        case '"': plain = '"'; break;
        case '\\': plain = '\\'; break;
        case '/': plain = '/'; break;
        case 'b': plain = '\b'; break;
        case 'f': plain = '\f'; break;
        case 'n': plain = '\n'; break;
        case 'r': plain = '\r'; break;
        case 't': plain = '\t'; break;
        case 'u': break;
        default: return false;
      }
      if (plain != 0) {
        if (out) out->push_back(plain);
        continue;
      }
      char32_t cp = 0;
      if (!hex4(cp)) return false;
      if (cp >= 0xD800 && cp <= 0xDBFF && s_.substr(i_, 2) == "\\u") {
        const std::size_t back = i_;
        i_ += 2;
        char32_t low = 0;
        if (hex4(low) && low >= 0xDC00 && low <= 0xDFFF) {
          cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        } else {
          i_ = back;  // not a pair: the next escape is read on its own
        }
      }
      if (out) utf8::append(*out, cp);
    }
    return false;
  }

  std::string_view s_;
  std::size_t i_ = 0;
};

// Invalid UTF-8 becomes U+FFFD, as the HTTP client decodes a reply's text.
std::string valid_utf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t start = i;
    try {
      utf8::decode(text, i);
      out.append(text.substr(start, i - start));
    } catch (const std::invalid_argument&) {
      out.append("\xEF\xBF\xBD");
      i = start + 1;
    }
  }
  return out;
}

}  // namespace

void append_string(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  for (const char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          out += "\\u00";
          out.push_back(kHex[(c >> 4) & 0xF]);
          out.push_back(kHex[c & 0xF]);
        } else {
          out.push_back(c);
        }
    }
  }
  out.push_back('"');
}

std::optional<Document> parse(std::string_view text) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  const std::string valid = valid_utf8(text);
  return Reader(valid).document();
}

bool is_zero(std::string_view value) {
  // Every digit before the exponent is 0: 0, -0, 0.0, 0e5 alike.
  std::size_t i = value.substr(0, 1) == "-" ? 1 : 0;
  if (i >= value.size() || !digit(value[i])) return false;
  for (; i < value.size() && value[i] != 'e' && value[i] != 'E'; ++i) {
    if (value[i] != '0' && value[i] != '.') return false;
  }
  return true;
}

}  // namespace engine::alerts::json
