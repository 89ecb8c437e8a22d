#include "engine/alerts/alert_text.h"

#include <unordered_map>

namespace engine::alerts {
namespace {

constexpr std::string_view kColonBlank = ": ";

unsigned char byte(std::string_view text, std::size_t pos) { return static_cast<unsigned char>(text[pos]); }

// Length of the space character that ends exactly at text[end - 1], or 0.
// UTF-8 is self-synchronising, so matching a whole sequence at the end is
// enough to know where it starts.
std::size_t space_before(std::string_view text, std::size_t end) {
  for (std::size_t len : {1u, 2u, 3u}) {
    if (end >= len && space_at(text, end - len) == len) return len;
  }
  return 0;
}

}  // namespace

std::size_t space_at(std::string_view text, std::size_t pos) {
  if (pos >= text.size()) return 0;
  const unsigned char b0 = byte(text, pos);
  if (b0 < 0x80) return (b0 >= 0x09 && b0 <= 0x0D) || (b0 >= 0x1C && b0 <= 0x20) ? 1 : 0;
  const std::size_t left = text.size() - pos;
  if (b0 == 0xC2 && left >= 2) {
    const unsigned char b1 = byte(text, pos + 1);
    return b1 == 0x85 || b1 == 0xA0 ? 2 : 0;  // U+0085, U+00A0
  }
  if (left < 3) return 0;
  const unsigned char b1 = byte(text, pos + 1), b2 = byte(text, pos + 2);
  if (b0 == 0xE1) return b1 == 0x9A && b2 == 0x80 ? 3 : 0;  // U+1680
  if (b0 == 0xE3) return b1 == 0x80 && b2 == 0x80 ? 3 : 0;  // U+3000
  if (b0 != 0xE2) return 0;
  if (b1 == 0x80) {
    // U+2000..U+200A, U+2028, U+2029, U+202F
    return (b2 >= 0x80 && b2 <= 0x8A) || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF ? 3 : 0;
  }
  return b1 == 0x81 && b2 == 0x9F ? 3 : 0;  // U+205F
}

std::string_view strip(std::string_view text) {
  std::size_t begin = 0, end = text.size();
  while (std::size_t n = space_at(text, begin)) begin += n;
  while (end > begin) {
    const std::size_t n = space_before(text, end);
    if (n == 0) break;
    end -= n;
  }
  return text.substr(begin, end - begin);
}

ParsedAlert parse_alert_msg(std::string_view msg) {
  ParsedAlert parsed;
  std::unordered_map<std::string, std::size_t> position;
  const std::string_view text = strip(msg);
  std::size_t start = 0;
  bool first = true;
  while (true) {
    const std::size_t feed = text.find('\n', start);
    const std::string_view line =
        strip(text.substr(start, feed == std::string_view::npos ? std::string_view::npos : feed - start));
    if (first) {
      // The title is never split, whatever separator it holds.
      parsed.title = line;
      first = false;
    } else if (!line.empty()) {
      // The full-width colon wins even when ": " stands before it.
      std::size_t at = line.find(kFullWidthColon);
      std::size_t width = kFullWidthColon.size();
      if (at == std::string_view::npos) {
        at = line.find(kColonBlank);
        width = kColonBlank.size();
      }
      if (at != std::string_view::npos) {
        std::string label(strip(line.substr(0, at)));
        std::string value(strip(line.substr(at + width)));
        const auto [slot, inserted] = position.try_emplace(label, parsed.fields.size());
        if (inserted) {
          parsed.fields.emplace_back(std::move(label), std::move(value));
        } else {
          parsed.fields[slot->second].second = std::move(value);
        }
      }
    }
    if (feed == std::string_view::npos) break;
    start = feed + 1;
  }
  return parsed;
}

std::string_view alert_card_color(std::string_view msg) {
  struct Mark {
    std::string_view text;
    std::string_view colour;
  };
  static constexpr Mark kMarks[] = {
      {"🚨", "red"},
      {"🔴", "carmine"},
      {"⚠️", "yellow"},  // U+26A0 U+FE0F: the warning sign in its emoji form only
      {"✅", "green"},
  };
  for (const Mark& mark : kMarks) {
    if (msg.find(mark.text) != std::string_view::npos) return mark.colour;
  }
  return "blue";  // U+1F7E2 green circle, and every text without a mark
}

std::string format_markdown(const ParsedAlert& parsed) {
  std::string out = "### " + parsed.title + "\n";
  for (const auto& [label, value] : parsed.fields) {
    out += "- **";
    out += label;
    out += "**";
    out += kFullWidthColon;
    out += value;
    out += "\n";
  }
  return std::string(strip(out));
}

std::string format_markdown(std::string_view msg) { return format_markdown(parse_alert_msg(msg)); }

}  // namespace engine::alerts
