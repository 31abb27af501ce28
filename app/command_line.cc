#include "app/command_line.h"

#include <string.h>

#include <cstring>
#include <cwctype>
#include <vector>

#include "console/text_codec.h"

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
  std::vector<UnitSource> tailSources;  // one per unit of tail
  int argc = 0;
  char** argv = nullptr;
};

CommandLineState& State() {
  static CommandLineState state;
  return state;
}

// A stretch [begin, end) of a tail.
struct ParamSpan {
  bool found;
  size_t begin;
  size_t end;
};

size_t SkipSpaces(std::u16string_view text, size_t i) {
  while (i < text.size() && text[i] == kSpace) ++i;
  return i;
}

size_t TailStart(std::u16string_view line) {
  if (line.empty()) return 0;
  if (line[0] == kQuote) {
    size_t close = line.find(kQuote, 1);
    if (close == std::u16string_view::npos) return line.size();
    return SkipSpaces(line, close + 1);
  }
  if (line[0] == kSpace) return SkipSpaces(line, 0);
  size_t i = 1;
  while (i < line.size() && line[i] > kSpace) ++i;
  // A TAB or other control character ending the name starts the tail.
  if (i < line.size() && line[i] == kSpace) i = SkipSpaces(line, i);
  return i;
}

ParamSpan FindParam(std::u16string_view tail, int n) {
  if (n == 0) return {true, 0, tail.size()};
  if (n < 0) return {false, 0, 0};
  int count = 0;
  size_t i = 0;
  while (true) {
    i = SkipSpaces(tail, i);
    if (i == tail.size()) return {false, 0, 0};
    ParamSpan span;
    if (tail[i] == kQuote) {
      size_t close = tail.find(kQuote, i + 1);
      if (close == std::u16string_view::npos) {
        span = {true, i + 1, tail.size()};
        i = tail.size();
      } else if (close == i + 1) {
        i = close + 1;  // "" is no parameter and is not counted
        continue;
      } else {
        span = {true, i + 1, close};
        i = close + 1;
      }
    } else {
      size_t end = tail.find(kSpace, i);
      if (end == std::u16string_view::npos) end = tail.size();
      span = {true, i, end};
      i = end;
    }
    if (++count == n) return span;
  }
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
  explicit_bzero(text.data(), text.size() * sizeof(char16_t));
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
  size_t start = TailStart(line);
  explicit_bzero(state.tail.data(), state.tail.size() * sizeof(char16_t));
  state.tail = line.substr(start);
  explicit_bzero(line.data(), line.size() * sizeof(char16_t));
  state.tailSources.assign(sources.begin() + start, sources.end());
  state.argc = argc;
  state.argv = argv;
}

std::u16string FindCommandTail(std::u16string_view commandLine) {
  return std::u16string(commandLine.substr(TailStart(commandLine)));
}

const std::u16string& CommandTail() { return State().tail; }

void WipeCommandLine() {
  CommandLineState& state = State();
  explicit_bzero(state.tail.data(), state.tail.size() * sizeof(char16_t));
  state.tail.clear();
  state.tailSources.clear();
}

std::u16string CommandParam(int n) { return CommandParamOf(State().tail, n); }

std::u16string CommandParamOf(std::u16string_view tail, int n) {
  ParamSpan span = FindParam(tail, n);
  if (!span.found) return std::u16string();
  return std::u16string(tail.substr(span.begin, span.end - span.begin));
}

std::u16string TrimSpaces(std::u16string_view text) {
  size_t begin = text.find_first_not_of(kSpace);
  if (begin == std::u16string_view::npos) return std::u16string();
  size_t end = text.find_last_not_of(kSpace) + 1;
  return std::u16string(text.substr(begin, end - begin));
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

std::string StripPrefix(std::string_view value, std::string_view prefix) {
  if (prefix.empty() || value.size() < prefix.size()) {
    return std::string(value);
  }
  size_t count = 0;
  for (size_t hit = value.find(prefix); hit != std::string_view::npos;
       hit = value.find(prefix, hit + prefix.size())) {
    ++count;
  }
  if (count == 0) return std::string(value);
  std::string result;
  result.reserve(value.size() - count * prefix.size());
  size_t from = 0;
  for (size_t hit = value.find(prefix); hit != std::string_view::npos;
       hit = value.find(prefix, hit + prefix.size())) {
    result.append(value, from, hit - from);
    from = hit + prefix.size();
  }
  result.append(value, from);
  return result;
}

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
    if (std::strncmp(text + start, prefix.data(), prefix.size()) != 0) continue;
    start += prefix.size();
    std::memset(text + start, '*', std::strlen(text + start));
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
  ParamSpan span = FindParam(state.tail, n);
  if (!span.found) return;
  std::u16string_view param(state.tail.data() + span.begin,
                            span.end - span.begin);
  std::u16string widePrefix = WidenText(prefix);
  size_t begin = span.begin;
  if (!widePrefix.empty() && param.substr(0, widePrefix.size()) == widePrefix) {
    begin += widePrefix.size();
  }
  for (size_t k = begin; k < span.end; ++k) {
    const UnitSource& source = state.tailSources[k];
    if (source.arg < 0 || source.arg >= state.argc) continue;
    // Written in place: the kernel shows these very bytes as the process's
    // command line.
    std::memset(state.argv[source.arg] + source.begin, '*',
                source.end - source.begin);
  }
}
