#pragma once
// A streaming JSON reader that accepts exactly the documents Python's
// json.loads reads back into values this system can write again: it reads the
// text in pieces (a report of hundreds of MB never sits in memory whole) and
// hands out one event at a time.
//
// Python's rules, kept here: NaN, Infinity and -Infinity are numbers;
// integers of any length; floats out of range become infinite or zero; raw
// control characters in strings are errors; the text is strict UTF-8 without a
// byte-order mark; only space, tab, CR and LF are white space; nesting deeper
// than Python's recursion limit fails (unless the reader is given another
// limit: it keeps its place without recursion, so any depth is safe). One
// deliberate difference: a \u escape that leaves a lone surrogate is an error,
// since such a string can be written to no UTF-8 file (Python reads it, then
// fails when it writes it back); a reader that only shows what it reads can
// take it as Python's backslash escape instead (LoneSurrogates::AsEscape).
#include <cstdint>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "engine/common/json_writer.h"
#include "engine/os/interrupt.h"

namespace engine::json {

// The text is not a JSON document Python would read.
struct SyntaxError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Where a document's bytes come from.
class Source {
 public:
  virtual ~Source() = default;
  // Up to n bytes into buffer; 0 at the end. Throws std::runtime_error when
  // reading fails.
  virtual std::size_t read(char* buffer, std::size_t n) = 0;
};

class TextSource : public Source {
 public:
  explicit TextSource(std::string_view text) : text_(text) {}
  std::size_t read(char* buffer, std::size_t n) override;

 private:
  std::string_view text_;
};

// A file opened once; rewind() reads it again from its start through the same
// handle, so a second pass sees the same file even if another process has
// since renamed a new one into its place.
class FileSource : public Source {
 public:
  // Throws std::runtime_error when the file cannot be opened.
  explicit FileSource(const std::string& path);
  std::size_t read(char* buffer, std::size_t n) override;
  void rewind();

 private:
  std::string path_;
  std::ifstream stream_;
};

enum class Event : std::uint8_t {
  BeginObject,
  EndObject,
  BeginArray,
  EndArray,
  Key,
  String,
  Integer,
  Float,
  True,
  False,
  Null,
  End,  // the document is complete
};

// What a \u escape that leaves a lone surrogate (no high and low half
// together) gives.
enum class LoneSurrogates : std::uint8_t {
  Refuse,    // a SyntaxError
  AsEscape,  // the six characters of Python's backslash escape, "\udcff"
};

class Reader {
 public:
  static constexpr std::size_t kMaxDepth = 1000;
  // A piece small enough to stay in the processor's cache while it is scanned.
  static constexpr std::size_t kChunk = 1 << 18;

  // chunk: how many bytes are read at a time (small in tests, to cross every
  // token boundary). interrupt is asked before every read. max_depth: how
  // deep containers may nest.
  explicit Reader(Source& source, std::size_t chunk = kChunk, os::Interrupt interrupt = {},
                  std::size_t max_depth = kMaxDepth, LoneSurrogates lone_surrogates = LoneSurrogates::Refuse);

  // The next event; throws SyntaxError on invalid text. After End it keeps
  // returning End.
  Event next();

  // The text of the last Key or String (decoded UTF-8) or of the last number
  // (as written). Valid until the next call of next().
  std::string_view text() const { return text_; }

  // Reads and drops the rest of the value whose first event was just
  // returned (nothing more for a scalar).
  void skip_value(Event first);

  std::size_t depth() const { return containers_.size(); }

  // How many bytes of the document lie before the reader's place: just past
  // the last event's text (past a bracket for a container's events; for a
  // Key, perhaps past its ':' too).
  std::uint64_t offset() const;

 private:
  enum class State : std::uint8_t {
    Value,        // a value must come (top level, after ':' or after ',' in an array)
    ArrayFirst,   // a value or ']'
    ArrayNext,    // ',' or ']'
    ObjectFirst,  // a key or '}'
    ObjectKey,    // a key (after ',')
    ObjectColon,  // ':'
    ObjectNext,   // ',' or '}'
    Done,         // only white space may follow
  };

  bool refill(const char*& keep);
  void skip_white(const char*& p);
  Event finish_value(Event event) {
    if (containers_.empty()) {
      state_ = State::Done;
    } else {
      state_ = containers_.back() ? State::ObjectNext : State::ArrayNext;
    }
    return event;
  }
  Event scan_value(const char*& p);
  const char* scan_string(const char* p);
  const char* scan_number(const char* p, bool& integer);
  const char* scan_literal(const char* p, std::string_view word);
  [[noreturn]] void fail(const char* what) const;

  Source& source_;
  os::Interrupt interrupt_;
  std::vector<char> buffer_;
  std::size_t chunk_;
  std::size_t max_depth_;
  LoneSurrogates lone_surrogates_;
  const char* pos_ = nullptr;
  const char* end_ = nullptr;
  bool eof_ = false;
  std::uint64_t consumed_ = 0;  // bytes dropped from the buffer before its start
  State state_ = State::Value;
  std::vector<std::uint8_t> containers_;  // 1 for an object, 0 for an array
  std::string_view text_;
  std::string scratch_;
};

// Writes an event as the reader gave it, with its text (a key, a string, a number).
void write_event(Writer& writer, Event e, std::string_view text);

// Copies the value whose first event the reader just gave, event by event.
void copy_value(Reader& reader, Event first, Writer& writer);

}  // namespace engine::json
