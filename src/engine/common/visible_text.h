#pragma once
// Values from files and from other programs (target names, stored times,
// error texts) are quoted into console and log lines. Shown raw, a line break
// in one starts what looks like a new line or record, and an escape sequence
// drives the terminal (clears it, retitles it, rewrites what stands above).
#include <string>
#include <string_view>

namespace engine {

enum class LineBreaks { Escape, KeepIndented };

// The text (UTF-8) with every control character shown as an escape, so a
// value quoted into a line stays on that line and sends nothing to a terminal.
//
// "\n", "\r" and "\t" read \n, \r and \t; every other C0 control, DEL and every
// C1 control (U+0080 to U+009F) reads \xHH with two lower-case hex digits, as
// Python's repr() writes them; U+2028 and U+2029, which some terminals and
// editors take for line ends, read \u2028 and \u2029; a byte that is not part
// of valid UTF-8 reads \xHH, but a lone surrogate in the three-byte form in
// which a Python text crosses into the core reads \uHHHH, as Python's
// backslash escape writes it. Everything else stays as it is, backslashes too,
// so a lone surrogate that Python already wrote as its escape (\udcff) reads
// the same.
//
// With KeepIndented, a "\n" directly followed by a blank or a tab stays a line
// break, with that indent: the indented continuation lines of a multi-line
// error text cannot pass for a record of their own, and they read better
// unfolded.
std::string visible_text(std::string_view text, LineBreaks breaks = LineBreaks::Escape);

}  // namespace engine
