#include "engine/monitor/target_state.h"

#include <set>
#include <stdexcept>

#include "engine/common/file_name.h"
#include "engine/common/utf8.h"

namespace engine {
namespace {

constexpr std::string_view kCustomPrefix = "custom_";
constexpr std::string_view kCustomSuffix = "_state.json";
// Marks a file of its own; a long name's shortened file has "-" in its place,
// and a kept name neither, so the three kinds of name never meet.
constexpr char kOwnSeparator = '~';

}  // namespace

Transition decide(std::string_view stored_status, bool success) {
  if (success) return stored_status == kDown ? Transition::Recovered : Transition::StaysUp;
  return stored_status == kUp ? Transition::WentDown : Transition::AlreadyDown;
}

std::string sanitize_name(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    const std::size_t start = i;
    const char32_t cp = utf8::decode(utf8, i);
    const bool ascii_word = (cp >= 'A' && cp <= 'Z') || (cp >= 'a' && cp <= 'z') || (cp >= '0' && cp <= '9') || cp == '_';
    const bool ideograph = cp >= 0x4E00 && cp <= 0x9FFF;
    if (ascii_word || ideograph) {
      out.append(utf8.substr(start, i - start));
    } else {
      out.push_back('_');
    }
  }
  const auto first = out.find_first_not_of('_');
  if (first == std::string::npos) return {};
  const auto last = out.find_last_not_of('_');
  return out.substr(first, last - first + 1);
}

std::string custom_state_file(std::string_view name) {
  return fit_file_name(kCustomPrefix, sanitize_name(name), kCustomSuffix);
}

std::string own_custom_state_file(std::string_view name) {
  return marked_file_name(kCustomPrefix, sanitize_name(name), name, kCustomSuffix, kOwnSeparator);
}

std::vector<StateFile> choose_state_files(const std::vector<StateFileFinding>& targets) {
  std::vector<std::optional<StateFile>> settled(targets.size());
  std::set<std::string> taken;  // the plain files given so far, by case-blind key
  for (std::size_t i = 0; i < targets.size(); ++i) {
    const StateFileFinding& t = targets[i];
    const bool own_saved_last = t.own_saved && (!t.plain_saved || *t.own_saved >= *t.plain_saved);
    const bool records_another = t.owner || (t.own_saved && t.earlier_owner && *t.earlier_owner != t.name);
    if (t.owner == t.name) {
      settled[i] = StateFile::Plain;  // 1
    } else if (own_saved_last || records_another) {
      settled[i] = StateFile::Own;  // 2, 3
    } else if (t.earlier_owner == t.name) {
      settled[i] = StateFile::Plain;  // 4
    }
    if (settled[i] == StateFile::Plain) taken.insert(t.plain_key);
  }
  std::vector<StateFile> chosen;
  for (std::size_t i = 0; i < targets.size(); ++i) {
    if (!settled[i]) settled[i] = taken.insert(targets[i].plain_key).second ? StateFile::Plain : StateFile::Own;
    chosen.push_back(*settled[i]);
  }
  return chosen;
}

}  // namespace engine
