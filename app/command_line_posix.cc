// The command line on POSIX: rebuilt as one text from the argument vector,
// and the password starred in that vector so the process list no longer
// shows it.
#include "app/command_line.h"

#include <cstring>
#include <cwctype>
#include <vector>

#include "app/command_line_platform.h"
#include "base/text_codec.h"
#include "base/wipe.h"

// The command line rebuilt from the argument vector, in the locale's
// encoding.

namespace {

constexpr char16_t kSpace = u' ';
constexpr char16_t kQuote = u'"';

// Where a unit of the rebuilt command line came from: the bytes
// [begin, end) of argv[arg], or nothing (arg -1) for the separators and
// quotes the rebuild added.
struct UnitSource {
  int arg;
  size_t begin;
  size_t end;
};

struct CommandLineState {
  std::u16string tail;
  std::vector<UnitSource> tailSources;  // one per unit of tail while argv is set
  int argc = 0;
  char** argv = nullptr;
};

CommandLineState& State() {
  static CommandLineState state;
  return state;
}

// Appends one argument's text to the rebuilt line, remembering for each unit
// the argv bytes of the character it came from.
void AppendArgument(int arg, std::string_view bytes, bool isName,
                    std::u16string* line, std::vector<UnitSource>* sources) {
  std::vector<size_t> offsets;
  std::u16string text = WidenTextMapped(bytes, &offsets);
  std::vector<UnitSource> units(text.size());
  size_t end = bytes.size();
  for (size_t k = text.size(); k-- > 0;) {
    if (k + 1 < text.size() && offsets[k + 1] != offsets[k]) {
      end = offsets[k + 1];
    }
    units[k] = {arg, offsets[k], end};
  }
  if (isName) {
    // The name's quotes could not be told from the quote that ends it, and
    // a control character in it would start the tail early: drop the
    // former and quote the name around the latter.
    size_t kept = 0;
    for (size_t k = 0; k < text.size(); ++k) {
      if (text[k] == kQuote) continue;
      text[kept] = text[k];
      units[kept] = units[k];
      ++kept;
    }
    text.resize(kept);
    units.resize(kept);
  }
  bool quote = text.empty();
  for (char16_t unit : text) {
    if (unit == kSpace || (isName && unit < kSpace)) quote = true;
  }
  if (quote) {
    line->push_back(kQuote);
    sources->push_back({-1, 0, 0});
  }
  line->append(text);
  Wipe(&text);
  sources->insert(sources->end(), units.begin(), units.end());
  if (quote) {
    line->push_back(kQuote);
    sources->push_back({-1, 0, 0});
  }
}

}  // namespace

void SetCommandLine(int argc, char** argv) {
  // The line holds the password: room for all of it from the start, so no
  // growing leaves a copy behind in freed memory. A byte never gives more
  // than one unit; each argument adds at most a separator and two quotes.
  size_t capacity = 0;
  for (int arg = 0; arg < argc && argv[arg] != nullptr; ++arg) {
    capacity += std::strlen(argv[arg]) + 3;
  }
  std::u16string line;
  line.reserve(capacity);
  std::vector<UnitSource> sources;
  sources.reserve(capacity);
  for (int arg = 0; arg < argc && argv[arg] != nullptr; ++arg) {
    if (arg > 0) {
      line.push_back(kSpace);
      sources.push_back({-1, 0, 0});
    }
    AppendArgument(arg, argv[arg], arg == 0, &line, &sources);
  }
  CommandLineState& state = State();
  size_t start = CommandTailStart(line);
  Wipe(&state.tail);
  state.tail = line.substr(start);
  Wipe(&line);
  state.tailSources.assign(sources.begin() + start, sources.end());
  state.argc = argc;
  state.argv = argv;
}

void SetCommandLineText(std::u16string_view commandLine) {
  WipeCommandLine();
  CommandLineState& state = State();
  state.tail = FindCommandTail(commandLine);
  state.argc = 0;
  state.argv = nullptr;
}

const std::u16string& CommandTail() { return State().tail; }

void WipeCommandLine() {
  CommandLineState& state = State();
  Wipe(&state.tail);
  state.tailSources.clear();
}

std::u16string LowerText(std::u16string_view text) {
  std::u16string lower(text);
  for (char16_t& unit : lower) {
    if (unit >= 0xD800 && unit <= 0xDFFF) continue;  // halves and raw bytes
    wint_t mapped = towlower(unit);
    // Only a mapping that stays one unit keeps the length.
    if (mapped <= 0xFFFF && (mapped < 0xD800 || mapped > 0xDFFF)) {
      unit = static_cast<char16_t>(mapped);
    }
  }
  return lower;
}

std::string ToNarrow(std::u16string_view text) { return NarrowText(text); }

namespace {

// Stars what follows prefix (after any quotes before it) in every argument
// that begins with it.
void ScrubArgumentsWithPrefix(std::string_view prefix) {
  const CommandLineState& state = State();
  if (prefix.empty()) return;
  for (int arg = 1; arg < state.argc && state.argv[arg] != nullptr; ++arg) {
    char* text = state.argv[arg];
    size_t start = 0;
    while (text[start] == '"') ++start;
    const std::string_view rest(text + start);
    if (rest.size() < prefix.size() || rest.compare(0, prefix.size(), prefix) != 0) continue;
    std::memset(text + start + prefix.size(), '*', rest.size() - prefix.size());
  }
}

}  // namespace

void ScrubParamInArgv(int n, std::string_view prefix) {
  CommandLineState& state = State();
  if (state.argv == nullptr) return;
  // Quotes can move the parameters so that the argument the user meant as
  // the password is not the one read at position n; it must not stay
  // visible either.
  ScrubArgumentsWithPrefix(prefix);
  ValueSpan value = FindValueSpan(state.tail, n, WidenText(prefix));
  if (!value.found) return;
  for (size_t k = value.begin; k < value.end; ++k) {
    const UnitSource& source = state.tailSources[k];
    if (source.arg < 0 || source.arg >= state.argc) continue;
    // Written in place: the kernel shows these very bytes as the process's
    // command line.
    std::memset(state.argv[source.arg] + source.begin, '*',
                source.end - source.begin);
  }
}
