#pragma once
// Values quoted into a log line or onto the console: names, reasons, page
// titles, times read from a file. Such a value must neither start a line of
// its own (a forged log record) nor reach a terminal as a control sequence.
#include <string>
#include <string_view>

namespace engine {

enum class LineBreaks { Escape, KeepIndented };

// The text (UTF-8) with every control character shown as an escape, so a
// value quoted into a line stays on that line and sends nothing to a terminal:
// "\n", "\r" and "\t" as themselves written out, the other C0 and C1 controls
// and DEL as "\xHH", U+2028 and U+2029 as "\u2028" and "\u2029", a lone
// surrogate (in its three-byte form) as "\uHHHH", and a byte that is no part
// of UTF-8 as "\xHH". With KeepIndented a line break followed by a blank or a
// tab stays: a library's multi-line error text keeps its indented lines,
// which no reader takes for a record of their own.
std::string visible_text(std::string_view text, LineBreaks breaks = LineBreaks::Escape);

}  // namespace engine
