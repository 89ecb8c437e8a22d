#include "engine/common/json_reader.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>

#include "engine/common/utf8.h"
#include "engine/os/native_path.h"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define QUORVELTA_SSE2 1
#endif

namespace engine::json {
namespace {

// Zero bytes kept after the data: every scan stops at the first of them, and
// 16-byte loads near the end stay inside the buffer.
constexpr std::size_t kPad = 64;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The first byte at or after p that a string scan must look at: the quote,
// the backslash, a control character (the zero padding included) or a
// non-ASCII byte.
const char* find_special(const char* p) {
#ifdef QUORVELTA_SSE2
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i below_space = _mm_set1_epi8(0x20);
  for (;;) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    // Signed compare: bytes >= 0x80 count as negative, so "< 0x20" also
    // catches every non-ASCII byte.
    const __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)),
                                     _mm_cmplt_epi8(v, below_space));
    const int mask = _mm_movemask_epi8(hit);
    if (mask != 0) return p + std::countr_zero(static_cast<unsigned>(mask));
    p += 16;
  }
#else
  for (;; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80) return p;
  }
#endif
}

// The first byte at or after p that is not a space (the zero padding stops it).
const char* skip_spaces(const char* p) {
#ifdef QUORVELTA_SSE2
  const __m128i space = _mm_set1_epi8(' ');
  for (;;) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const int other = ~_mm_movemask_epi8(_mm_cmpeq_epi8(v, space)) & 0xFFFF;
    if (other != 0) return p + std::countr_zero(static_cast<unsigned>(other));
    p += 16;
  }
#else
  while (*p == ' ') ++p;
  return p;
#endif
}

}  // namespace

std::size_t TextSource::read(char* buffer, std::size_t n) {
  n = std::min(n, text_.size());
  std::memcpy(buffer, text_.data(), n);
  text_.remove_prefix(n);
  return n;
}

FileSource::FileSource(const std::string& path) : path_(path) {
  errno = 0;
  stream_.open(os::native_path(path), std::ios::binary);
  if (!stream_.is_open()) {
    const int err = errno;
    throw std::runtime_error("[Errno " + std::to_string(err) + "] " + std::strerror(err) + ": '" + path + "'");
  }
}

std::size_t FileSource::read(char* buffer, std::size_t n) {
  stream_.read(buffer, static_cast<std::streamsize>(n));
  if (stream_.bad()) throw std::runtime_error("cannot read '" + path_ + "'");
  return static_cast<std::size_t>(stream_.gcount());
}

void FileSource::rewind() {
  stream_.clear();
  stream_.seekg(0);
  if (!stream_) throw std::runtime_error("cannot read '" + path_ + "' again");
}

Reader::Reader(Source& source, std::size_t chunk, os::Interrupt interrupt, std::size_t max_depth)
    : source_(source), interrupt_(std::move(interrupt)), buffer_(std::max<std::size_t>(chunk, 1) + kPad, '\0'),
      chunk_(std::max<std::size_t>(chunk, 1)), max_depth_(max_depth) {
  pos_ = end_ = buffer_.data();
}

std::uint64_t Reader::offset() const { return consumed_ + static_cast<std::uint64_t>(pos_ - buffer_.data()); }

void Reader::fail(const char* what) const {
  throw SyntaxError(std::string(what) + " near byte " + std::to_string(offset()));
}

bool Reader::refill(const char*& keep) {
  os::check(interrupt_);
  char* base = buffer_.data();
  const auto kept = static_cast<std::size_t>(end_ - keep);
  consumed_ += static_cast<std::uint64_t>(keep - base);
  std::memmove(base, keep, kept);
  const std::size_t capacity = buffer_.size() - kPad;
  if (capacity - kept < chunk_) {
    // One token longer than a chunk: the buffer grows to hold it whole.
    buffer_.resize(std::max(2 * capacity, kept + chunk_) + kPad);
    base = buffer_.data();
  }
  const std::size_t n = eof_ ? 0 : source_.read(base + kept, chunk_);
  if (n == 0) eof_ = true;
  end_ = base + kept + n;
  std::memset(const_cast<char*>(end_), 0, kPad);
  keep = base;
  pos_ = base;
  return n > 0;
}

void Reader::skip_white(const char*& p) {
  for (;;) {
    for (;;) {
      const char c = *p;
      if (c == ' ' || c == '\t' || c == '\r') {
        ++p;
      } else if (c == '\n') {
        // Indented text: a line break is mostly followed by a run of spaces.
        p = skip_spaces(p + 1);
      } else {
        break;
      }
    }
    if (p != end_ || eof_) return;
    const char* keep = end_;
    refill(keep);
    p = keep;
  }
}

const char* Reader::scan_string(const char* p) {
  const char* q = find_special(p + 1);
  if (*q == '"') {
    text_ = std::string_view(p + 1, static_cast<std::size_t>(q - p - 1));
    return q + 1;
  }
  bool copied = false;
  const char* run = p + 1;
  for (;;) {
    const auto c = static_cast<unsigned char>(*q);
    if (c == '"') {
      if (copied) {
        scratch_.append(run, q);
        text_ = scratch_;
      } else {
        text_ = std::string_view(p + 1, static_cast<std::size_t>(q - p - 1));
      }
      return q + 1;
    }
    if (c == '\\') {
      if (copied) {
        scratch_.append(run, q);
      } else {
        scratch_.assign(p + 1, q);
        copied = true;
      }
      if (end_ - q < 2) {
        if (!eof_) return nullptr;
        fail("unterminated string");
      }
      switch (q[1]) {
        case '"': scratch_ += '"'; break;
        case '\\': scratch_ += '\\'; break;
        case '/': scratch_ += '/'; break;
        case 'b': scratch_ += '\b'; break;
        case 'f': scratch_ += '\f'; break;
        case 'n': scratch_ += '\n'; break;
        case 'r': scratch_ += '\r'; break;
        case 't': scratch_ += '\t'; break;
        case 'u': {
          auto hex4 = [&](const char* h) -> long {
            long v = 0;
            for (int k = 0; k < 4; ++k) {
              const int d = hex_value(h[k]);
              if (d < 0) fail("invalid \\u escape");
              v = v * 16 + d;
            }
            return v;
          };
          if (end_ - q < 6) {
            if (!eof_) return nullptr;
            fail("invalid \\u escape");
          }
          long cp = hex4(q + 2);
          // A high surrogate followed by a low one is one character; any
          // other surrogate stands alone, as Python reads it, and is kept in
          // its three-byte form, which the writer escapes again.
          if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (end_ - q < 12 && !eof_) return nullptr;
            if (end_ - q >= 12 && q[6] == '\\' && q[7] == 'u') {
              const long low = hex4(q + 8);
              if (low >= 0xDC00 && low <= 0xDFFF) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                q += 6;
              }
            }
          }
          utf8::append(scratch_, static_cast<char32_t>(cp));
          q += 4;
          break;
        }
        default:
          fail("invalid escape");
      }
      q += 2;
      run = q;
    } else if (c < 0x20) {
      if (q == end_) {
        if (!eof_) return nullptr;
        fail("unterminated string");
      }
      fail("invalid control character in string");
    } else if (c >= 0x80) {
      bool valid = false;
      const std::size_t n = utf8::strict_step({q, static_cast<std::size_t>(end_ - q)}, valid);
      if (!valid) {
        if (q + n == end_ && !eof_) return nullptr;  // it may go on in the next piece
        fail("invalid UTF-8 text");
      }
      q += n;
    }
    q = find_special(q);
  }
}

const char* Reader::scan_number(const char* p, bool& integer) {
  const char* q = p;
  if (*q == '-') ++q;
  if (*q == '0') {
    ++q;
  } else if (*q >= '1' && *q <= '9') {
    while (is_digit(*q)) ++q;
  } else {
    if (q == end_ && !eof_) return nullptr;
    fail("expecting value");
  }
  integer = true;
  if (*q == '.') {
    if (q + 1 >= end_ && !eof_) return nullptr;
    if (!is_digit(q[1])) fail("invalid number");
    q += 2;
    while (is_digit(*q)) ++q;
    integer = false;
  }
  if (*q == 'e' || *q == 'E') {
    const char* r = q + 1;
    if (*r == '+' || *r == '-') ++r;
    if (r >= end_ && !eof_) return nullptr;
    if (!is_digit(*r)) fail("invalid number");
    while (is_digit(*r)) ++r;
    q = r;
    integer = false;
  }
  // A number that reaches the end of the buffer may go on in the next piece.
  if (q == end_ && !eof_) return nullptr;
  return q;
}

const char* Reader::scan_literal(const char* p, std::string_view word) {
  if (static_cast<std::size_t>(end_ - p) < word.size()) {
    if (!eof_) return nullptr;
    fail("expecting value");
  }
  if (std::memcmp(p, word.data(), word.size()) != 0) fail("expecting value");
  return p + word.size();
}

Event Reader::scan_value(const char*& p) {
  const char* e = nullptr;
  auto literal = [&](std::string_view word, Event event) {
    while ((e = scan_literal(p, word)) == nullptr) refill(p);
    text_ = std::string_view(p, word.size());
    pos_ = e;
    return finish_value(event);
  };
  switch (*p) {
    case '{':
    case '[': {
      if (containers_.size() >= max_depth_) fail("nesting too deep");
      const bool object = *p == '{';
      containers_.push_back(object);
      pos_ = p + 1;
      state_ = object ? State::ObjectFirst : State::ArrayFirst;
      return object ? Event::BeginObject : Event::BeginArray;
    }
    case '"':
      while ((e = scan_string(p)) == nullptr) refill(p);
      pos_ = e;
      return finish_value(Event::String);
    case 't': return literal("true", Event::True);
    case 'f': return literal("false", Event::False);
    case 'n': return literal("null", Event::Null);
    case 'N': return literal("NaN", Event::Float);
    case 'I': return literal("Infinity", Event::Float);
    case '-':
      while (end_ - p < 2 && !eof_) refill(p);
      if (p[1] == 'I') return literal("-Infinity", Event::Float);
      [[fallthrough]];
    default: {
      if (*p != '-' && !is_digit(*p)) fail("expecting value");
      bool integer = true;
      while ((e = scan_number(p, integer)) == nullptr) refill(p);
      text_ = std::string_view(p, static_cast<std::size_t>(e - p));
      pos_ = e;
      return finish_value(integer ? Event::Integer : Event::Float);
    }
  }
}

Event Reader::next() {
  for (;;) {
    skip_white(pos_);
    const char* p = pos_;
    if (p == end_) {
      if (state_ == State::Done) return Event::End;
      fail("unexpected end of text");
    }
    const char c = *p;
    switch (state_) {
      case State::Done:
        fail("extra data");
      case State::ObjectColon:
        if (c != ':') fail("expecting ':'");
        pos_ = p + 1;
        state_ = State::Value;
        continue;
      case State::ObjectNext:
      case State::ArrayNext: {
        const bool object = state_ == State::ObjectNext;
        if (c == ',') {
          pos_ = p + 1;
          state_ = object ? State::ObjectKey : State::Value;
          continue;
        }
        if (c != (object ? '}' : ']')) fail("expecting ',' or the end of a container");
        pos_ = p + 1;
        containers_.pop_back();
        return finish_value(object ? Event::EndObject : Event::EndArray);
      }
      case State::ObjectFirst:
        if (c == '}') {
          pos_ = p + 1;
          containers_.pop_back();
          return finish_value(Event::EndObject);
        }
        [[fallthrough]];
      case State::ObjectKey: {
        if (c != '"') fail("expecting a property name in double quotes");
        const char* e = nullptr;
        while ((e = scan_string(p)) == nullptr) refill(p);
        // The usual "name": takes the colon and the space with the name.
        if (e[0] == ':') {
          e += e[1] == ' ' ? 2 : 1;
          state_ = State::Value;
        } else {
          state_ = State::ObjectColon;
        }
        pos_ = e;
        return Event::Key;
      }
      case State::ArrayFirst:
        if (c == ']') {
          pos_ = p + 1;
          containers_.pop_back();
          return finish_value(Event::EndArray);
        }
        [[fallthrough]];
      case State::Value:
        return scan_value(p);
    }
  }
}

void Reader::skip_value(Event first) {
  if (first != Event::BeginObject && first != Event::BeginArray) return;
  const std::size_t outer = depth() - 1;
  for (;;) {
    const Event e = next();
    if ((e == Event::EndObject || e == Event::EndArray) && depth() == outer) return;
  }
}

void write_event(Writer& writer, Event e, std::string_view text) {
  switch (e) {
    case Event::BeginObject: writer.begin_object(); break;
    case Event::EndObject: writer.end_object(); break;
    case Event::BeginArray: writer.begin_array(); break;
    case Event::EndArray: writer.end_array(); break;
    case Event::Key: writer.key(text); break;
    case Event::String: writer.string(text); break;
    case Event::Integer: writer.number(text, NumberKind::Integer); break;
    case Event::Float: writer.number(text, NumberKind::Float); break;
    case Event::True: writer.boolean(true); break;
    case Event::False: writer.boolean(false); break;
    case Event::Null: writer.null(); break;
    case Event::End: break;
  }
}

void copy_value(Reader& reader, Event first, Writer& writer) {
  write_event(writer, first, reader.text());
  if (first != Event::BeginObject && first != Event::BeginArray) return;
  const std::size_t outer = reader.depth() - 1;
  for (;;) {
    const Event e = reader.next();
    write_event(writer, e, reader.text());
    if ((e == Event::EndObject || e == Event::EndArray) && reader.depth() == outer) return;
  }
}

}  // namespace engine::json
