#include "engine/monitor/report_file.h"

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/common/clock.h"
#include "engine/common/json_reader.h"
#include "engine/os/files.h"
#include "engine/os/native_path.h"

namespace engine::report {
namespace {

namespace fs = std::filesystem;
using json::Event;
using json::Reader;
using json::Writer;


// What the first pass learns of an old report: whether it can be taken over,
// and, for the "sessions" list that counts (the last one, as for Python's
// dict), which sessions hold an object with a repeated member name.
struct Survey {
  bool readable = false;
  std::size_t occurrence = 0;  // ordinal of the counting "sessions" member, 0 when there is none
  std::vector<bool> rebuild;   // per session: a repeated name, so copied through a tree
};

// Member names of one open object. Objects of a report are small; a large one
// moves to a hash set, so no object costs quadratic time.
class NameSet {
 public:
  void clear() {
    count_ = 0;
    large_.clear();
  }
  // False when the name was there already.
  bool insert(std::string_view name) {
    if (count_ == kSmall) {
      for (std::size_t i = 0; i < count_; ++i) large_.emplace(small_[i]);
      ++count_;
    }
    if (count_ > kSmall) return large_.emplace(name).second;
    for (std::size_t i = 0; i < count_; ++i) {
      if (small_[i] == name) return false;
    }
    if (small_.size() == count_) small_.emplace_back();
    small_[count_++].assign(name);
    return true;
  }

 private:
  static constexpr std::size_t kSmall = 32;
  std::vector<std::string> small_;
  std::size_t count_ = 0;
  std::unordered_set<std::string> large_;
};

class RepeatFinder {
 public:
  // Reads the value that begins with first; true when one of its objects
  // names a member twice.
  bool scan(Reader& reader, Event first) {
    if (first != Event::BeginObject && first != Event::BeginArray) return false;
    const std::size_t outer = reader.depth() - 1;
    std::size_t open = 0;
    bool repeated = false;
    if (first == Event::BeginObject) open_object(open);
    for (;;) {
      switch (reader.next()) {
        case Event::BeginObject:
          open_object(open);
          break;
        case Event::EndObject:
          --open;
          if (reader.depth() == outer) return repeated;
          break;
        case Event::EndArray:
          if (reader.depth() == outer) return repeated;
          break;
        case Event::Key:
          if (!repeated && !sets_[open - 1].insert(reader.text())) repeated = true;
          break;
        default:
          break;
      }
    }
  }

 private:
  void open_object(std::size_t& open) {
    if (sets_.size() == open) sets_.emplace_back();
    sets_[open++].clear();
  }
  std::vector<NameSet> sets_;
};

Survey survey(Reader& reader) {
  Survey result;
  Event e = reader.next();
  if (e != Event::BeginObject) return result;
  RepeatFinder finder;
  std::size_t ordinal = 0;
  bool last_is_list = true;  // no "sessions" member: readable, holding none
  for (;;) {
    if (reader.next() == Event::EndObject) break;
    const bool sessions = reader.text() == "sessions";
    e = reader.next();
    if (!sessions) {
      reader.skip_value(e);
      continue;
    }
    ++ordinal;
    last_is_list = e == Event::BeginArray;
    if (!last_is_list) {
      reader.skip_value(e);
      continue;
    }
    result.occurrence = ordinal;
    result.rebuild.clear();
    while ((e = reader.next()) != Event::EndArray) result.rebuild.push_back(finder.scan(reader, e));
  }
  reader.next();  // End, or SyntaxError for text after the object
  result.readable = last_is_list;
  if (!last_is_list) result.rebuild.clear();
  return result;
}

// A value held whole, for the rare session whose objects repeat a name:
// Python keeps such a member at its first place with its last value.
struct Node {
  Event kind = Event::Null;
  std::string text;
  std::vector<std::string> keys;  // objects: member names, beside items
  std::vector<Node> items;        // arrays: items; objects: member values
};

void read_tree(Reader& reader, Event first, Node& root) {
  struct Frame {
    Node* node;
    std::unordered_map<std::string, std::size_t> index;
    std::size_t slot = 0;
  };
  std::vector<Frame> frames;
  // Where the next value goes: the root, a new array item, or the slot of the
  // member just named (emptied, when a repeated name replaces its value).
  auto place = [&]() -> Node* {
    if (frames.empty()) return &root;
    Frame& top = frames.back();
    if (top.node->kind == Event::BeginArray) {
      top.node->items.emplace_back();
      return &top.node->items.back();
    }
    Node& value = top.node->items[top.slot];
    value = Node{};
    return &value;
  };
  Event e = first;
  for (;;) {
    if (e == Event::Key) {
      Frame& top = frames.back();
      const auto [it, added] = top.index.try_emplace(std::string(reader.text()), top.node->keys.size());
      if (added) {
        top.node->keys.emplace_back(reader.text());
        top.node->items.emplace_back();
      }
      top.slot = it->second;
    } else if (e == Event::EndObject || e == Event::EndArray) {
      frames.pop_back();
      if (frames.empty()) return;
    } else {
      Node* node = place();
      node->kind = e;
      if (e == Event::BeginObject || e == Event::BeginArray) {
        frames.push_back({node, {}, 0});
      } else {
        node->text = reader.text();
        if (frames.empty()) return;
      }
    }
    e = reader.next();
  }
}

void write_tree(Writer& writer, const Node& node) {
  switch (node.kind) {
    case Event::BeginObject:
      writer.begin_object();
      for (std::size_t i = 0; i < node.keys.size(); ++i) {
        writer.key(node.keys[i]);
        write_tree(writer, node.items[i]);
      }
      writer.end_object();
      break;
    case Event::BeginArray:
      writer.begin_array();
      for (const Node& item : node.items) write_tree(writer, item);
      writer.end_array();
      break;
    default:
      json::write_event(writer, node.kind, node.text);
  }
}

// The second pass: the counting "sessions" list again, from its first kept
// session on. The text was checked whole by the first pass through the same
// handle, so anything unexpected here means the file changed under us.
void copy_sessions(Reader& reader, const Survey& survey, std::size_t skip, Writer& writer) {
  const std::runtime_error changed("the report file changed while it was read");
  if (reader.next() != Event::BeginObject) throw changed;
  std::size_t ordinal = 0;
  for (;;) {
    if (reader.next() != Event::Key) throw changed;
    const bool sessions = reader.text() == "sessions";
    Event e = reader.next();
    if (!sessions || ++ordinal != survey.occurrence) {
      reader.skip_value(e);
      continue;
    }
    if (e != Event::BeginArray) throw changed;
    std::size_t index = 0;
    while ((e = reader.next()) != Event::EndArray) {
      if (index >= survey.rebuild.size()) throw changed;
      if (index < skip) {
        reader.skip_value(e);
      } else if (survey.rebuild[index]) {
        Node tree;
        read_tree(reader, e, tree);
        write_tree(writer, tree);
      } else {
        json::copy_value(reader, e, writer);
      }
      ++index;
    }
    if (index != survey.rebuild.size()) throw changed;
    return;
  }
}

class ReplacementSink : public json::Sink {
 public:
  ReplacementSink(os::FileReplacement& file, const os::Interrupt& interrupt) : file_(file), interrupt_(interrupt) {}
  void write(std::string_view bytes) override {
    os::check(interrupt_);
    file_.write(bytes);
  }

 private:
  os::FileReplacement& file_;
  const os::Interrupt& interrupt_;
};

bool exists(const std::string& path) {
  std::error_code ec;
  return fs::exists(os::native_path(path), ec);
}

}  // namespace

void write_session(Writer& writer, const SessionHead& head, const RoundLog& rounds) {
  std::vector<std::string> quoted(rounds.targets().size());
  for (std::size_t i = 0; i < quoted.size(); ++i) json::append_string(quoted[i], rounds.targets()[i]);
  writer.begin_object();
  writer.key("start_time");
  writer.string(head.start_time);
  writer.key("end_time");
  writer.string(head.end_time);
  writer.key("total_rounds");
  writer.integer(head.total_rounds);
  writer.key("rounds");
  writer.begin_array();
  for (std::size_t i = 0; i < rounds.size(); ++i) {
    const RoundLog::RoundView round = rounds.round(i);
    writer.begin_object();
    writer.key("round");
    writer.integer(round.number);
    writer.key("time");
    writer.string(round.time);
    writer.key("results");
    writer.begin_object();
    for (std::size_t k = 0; k < round.result_targets.size(); ++k) {
      writer.quoted_key(quoted[round.result_targets[k]]);
      writer.boolean(round.success(k));
    }
    writer.end_object();
    writer.key("latency");
    writer.begin_object();
    for (std::size_t k = 0; k < round.latency_targets.size(); ++k) {
      writer.quoted_key(quoted[round.latency_targets[k]]);
      writer.integer(round.latency_ms[k]);
    }
    writer.end_object();
    writer.end_object();
  }
  writer.end_array();
  writer.end_object();
}

std::string aside_name(const std::string& path, const std::string& stamp) {
  const std::string base = path + ".corrupt-" + stamp;
  std::string name = base;
  for (int n = 2; exists(name); ++n) name = base + "-" + std::to_string(n);
  return name;
}

SaveOutcome save_session(const std::string& path, const SessionWriter& session, const os::Interrupt& interrupt) {
  constexpr std::size_t kChunk = json::Reader::kChunk;
  SaveOutcome outcome;
  std::optional<json::FileSource> old;
  Survey found;
  bool unreadable = false;
  if (exists(path)) {
    try {
      old.emplace(path);
      Reader reader(*old, kChunk, interrupt);
      found = survey(reader);
    } catch (const std::runtime_error&) {  // cannot be opened or read, or not JSON
      found = Survey{};
    }
    unreadable = !found.readable;
  }

  const std::size_t count = found.rebuild.size();
  const std::size_t skip = count + 1 > kKeepSessions ? count + 1 - kKeepSessions : 0;
  os::FileReplacement file(path, os::Durability::Sync);
  ReplacementSink sink(file, interrupt);
  Writer writer(sink, os::native_line_end());
  writer.begin_object();
  writer.key("sessions");
  writer.begin_array();
  if (count > skip) {
    old->rewind();
    Reader reader(*old, kChunk, interrupt);
    try {
      copy_sessions(reader, found, skip, writer);
    } catch (const json::SyntaxError&) {
      throw std::runtime_error("the report file changed while it was read");
    }
  }
  session(writer);
  writer.end_array();
  writer.end_object();
  writer.flush();
  // Windows cannot rename a file that is still open.
  old.reset();

  if (unreadable) {
    std::error_code ec;
    const auto size = fs::file_size(os::native_path(path), ec);
    if (ec || size > 0) {
      const std::string aside = aside_name(path, local_time("%Y%m%d_%H%M%S"));
      fs::rename(os::native_path(path), os::native_path(aside), ec);
      if (ec) throw std::runtime_error("cannot keep the unreadable report as '" + aside + "': " + ec.message());
      outcome.kept_aside = aside;
    }
  }
  try {
    file.commit(interrupt);
  } catch (...) {
    // Put the unreadable file back where it was: the report stays as it was.
    if (!outcome.kept_aside.empty()) {
      std::error_code ec;
      fs::rename(os::native_path(outcome.kept_aside), os::native_path(path), ec);
    }
    throw;
  }
  outcome.old_sessions = count - skip;
  return outcome;
}

}  // namespace engine::report
