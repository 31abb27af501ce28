#include "app/command_line.h"

#include "app/command_line_platform.h"

namespace {

constexpr char16_t kSpace = u' ';
constexpr char16_t kQuote = u'"';

size_t SkipSpaces(std::u16string_view text, size_t i) {
  while (i < text.size() && text[i] == kSpace) ++i;
  return i;
}

}  // namespace

size_t CommandTailStart(std::u16string_view line) {
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

ParamSpan FindParamSpan(std::u16string_view tail, int n) {
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

ValueSpan FindValueSpan(std::u16string_view tail, int n,
                        std::u16string_view prefix) {
  ParamSpan span = FindParamSpan(tail, n);
  if (!span.found) return {false, false, 0, 0};
  std::u16string_view param = tail.substr(span.begin, span.end - span.begin);
  bool prefixed = !prefix.empty() && param.substr(0, prefix.size()) == prefix;
  return {true, prefixed, span.begin + (prefixed ? prefix.size() : 0), span.end};
}

std::u16string FindCommandTail(std::u16string_view commandLine) {
  return std::u16string(commandLine.substr(CommandTailStart(commandLine)));
}

std::u16string CommandParam(int n) { return CommandParamOf(CommandTail(), n); }

std::u16string CommandParamOf(std::u16string_view tail, int n) {
  ParamSpan span = FindParamSpan(tail, n);
  if (!span.found) return std::u16string();
  return std::u16string(tail.substr(span.begin, span.end - span.begin));
}

std::u16string TrimSpaces(std::u16string_view text) {
  size_t begin = text.find_first_not_of(kSpace);
  if (begin == std::u16string_view::npos) return std::u16string();
  size_t end = text.find_last_not_of(kSpace) + 1;
  return std::u16string(text.substr(begin, end - begin));
}

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

