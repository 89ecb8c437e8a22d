#pragma once
// JSON written byte for byte as Python's json.dump(value, f, indent=2,
// ensure_ascii=False) writes it: the files this system rewrites keep the form
// that Python hosts and earlier versions produced, and a file read and written
// back changes only where Python itself would change it.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace engine::json {

// Python's repr() of a float: "0.1", "1e+16", "1e-05", "-0.0", "nan", "inf".
std::string float_repr(double value);

// A float as json writes it: its repr, with NaN, Infinity and -Infinity for
// the values that have no JSON number.
std::string float_text(double value);

// The float Python's float() makes of a JSON number text: correctly rounded,
// and infinite or zero (with its sign) where the value is out of range.
// Also takes "NaN", "Infinity" and "-Infinity".
double parse_float(std::string_view text);

enum class NumberKind { Integer, Float };

// What json writes back for a number read from a document: an integer as
// written (only "-0" becomes "0"), a float as the repr of its parsed value.
void append_number(std::string& out, std::string_view raw, NumberKind kind);

// A string in double quotes, escaped as json does with ensure_ascii=False:
// only the quote, the backslash and control characters below U+0020; and a
// lone surrogate (in its three-byte form, as a Python text crosses with
// "surrogatepass") as its \u escape, which reads back as that same text.
void append_string(std::string& out, std::string_view utf8);

// Where written bytes go.
class Sink {
 public:
  virtual ~Sink() = default;
  virtual void write(std::string_view bytes) = 0;
};

class StringSink : public Sink {
 public:
  void write(std::string_view bytes) override { text.append(bytes); }
  std::string text;
};

// Writes one value as a stream of events. Bytes collect in a buffer and go to
// the sink in large pieces; flush() sends the rest.
class Writer {
 public:
  // level: the nesting depth at which the value stands, for a piece that is
  // later placed inside a larger document; line_end replaces every "\n".
  explicit Writer(Sink& sink, std::string_view line_end = "\n", int level = 0);

  // The value on one line with nothing between its tokens, as
  // json.dumps(value, separators=(",", ":"), ensure_ascii=False) writes it.
  struct Compact {};
  Writer(Sink& sink, Compact);

  void begin_object();
  void end_object();
  void begin_array();
  void end_array();
  void key(std::string_view utf8);
  // A member name already quoted and escaped by append_string.
  void quoted_key(std::string_view quoted);
  void string(std::string_view utf8);
  void number(std::string_view raw, NumberKind kind);
  void integer(std::int64_t value);
  void floating(double value);
  void boolean(bool value);
  void null();
  // A value written elsewhere by a Writer at this writer's current depth.
  void raw_value(std::string_view text);

  void flush();

 private:
  struct Level {
    bool object;
    bool empty;
  };
  void before_value();
  void before_member();
  void after_name();
  void end_container(char close);
  void new_line(std::size_t depth);
  void maybe_flush();

  Sink& sink_;
  std::string line_end_;
  std::size_t base_;
  std::vector<Level> levels_;
  bool compact_ = false;
  bool after_key_ = false;
  std::string buffer_;
};

}  // namespace engine::json
