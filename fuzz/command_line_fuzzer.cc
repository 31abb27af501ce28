// The command-line path on arbitrary UTF-16 and bytes: tail and parameters,
// trimming, lower-casing, narrowing, prefix removal, and the rebuild from an
// argument vector with the password scrubbed in place.

#include <fuzzer/FuzzedDataProvider.h>

#include <clocale>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "base/text_codec.h"
#include "fuzz/fuzz_check.h"

namespace {

// The two encodings the program meets: UTF-8 and plain ASCII ("C").
void UseLocale(bool utf8) {
  static int current = -1;
  if (current == static_cast<int>(utf8)) return;
  FUZZ_CHECK(std::setlocale(LC_ALL, utf8 ? "C.UTF-8" : "C") != nullptr);
  current = utf8;
}

std::u16string ConsumeUtf16(FuzzedDataProvider* input) {
  const std::string bytes = input->ConsumeRandomLengthString(256);
  std::u16string text;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const unsigned char low = static_cast<unsigned char>(bytes[i]);
    const unsigned char high = static_cast<unsigned char>(bytes[i + 1]);
    // Spaces and quotes are what the parser cares about: make them common.
    char16_t unit = static_cast<char16_t>(low | (high << 8));
    if (high == 0xFF) unit = (low & 1) ? u' ' : u'"';
    text.push_back(unit);
  }
  return text;
}

bool IsSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDFFF; }

bool WellFormed(std::u16string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] >= 0xD800 && text[i] <= 0xDBFF && i + 1 < text.size() &&
        text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      ++i;
    } else if (IsSurrogate(text[i])) {
      return false;
    }
  }
  return true;
}

// Prefix removal written the slow, obvious way.
std::string StripPrefixByHand(std::string_view value, std::string_view prefix) {
  if (prefix.empty()) return std::string(value);
  std::string out;
  size_t i = 0;
  while (i < value.size()) {
    if (value.substr(i, prefix.size()) == prefix) {
      i += prefix.size();
    } else {
      out.push_back(value[i++]);
    }
  }
  return out;
}

void CheckBytes(std::string_view bytes, bool utf8) {
  FUZZ_CHECK(ToNarrow(WidenText(bytes)) == bytes);
  FUZZ_CHECK(NarrowTextByLocale(WidenTextByLocale(bytes)) == bytes);
  std::vector<size_t> offsets;
  const std::u16string wide = WidenTextMapped(bytes, &offsets);
  FUZZ_CHECK(wide == WidenText(bytes));
  FUZZ_CHECK(offsets.size() == wide.size());
  for (size_t k = 0; k < offsets.size(); ++k) {
    FUZZ_CHECK(offsets[k] < bytes.size());
    FUZZ_CHECK(k == 0 || offsets[k] >= offsets[k - 1]);
  }
  // Both ways of decoding agree on what is and is not a character.
  if (utf8) FUZZ_CHECK(WidenTextByLocale(bytes) == wide);
}

void CheckText(std::u16string_view line, bool utf8) {
  const std::u16string tail = FindCommandTail(line);
  FUZZ_CHECK(tail.size() <= line.size());
  FUZZ_CHECK(line.substr(line.size() - tail.size()) == tail);

  FUZZ_CHECK(CommandParamOf(tail, -1).empty());
  FUZZ_CHECK(CommandParamOf(tail, 0) == tail);
  const bool quoted = tail.find(u'"') != std::u16string::npos;
  bool ended = false;
  for (int n = 1; n <= 8; ++n) {
    const std::u16string param = CommandParamOf(tail, n);
    FUZZ_CHECK(tail.find(param) != std::u16string::npos);
    if (!quoted) FUZZ_CHECK(param.find(u' ') == std::u16string::npos);
    // An empty parameter only comes at the end: nothing follows it.
    if (ended) FUZZ_CHECK(param.empty());
    ended = ended || param.empty();
  }

  const std::u16string trimmed = TrimSpaces(line);
  FUZZ_CHECK(trimmed.empty() || (trimmed.front() != u' ' && trimmed.back() != u' '));
  FUZZ_CHECK(line.find(trimmed) != std::u16string::npos);
  FUZZ_CHECK(TrimSpaces(trimmed) == trimmed);

  const std::u16string lower = LowerText(line);
  FUZZ_CHECK(lower.size() == line.size());
  for (size_t i = 0; i < line.size(); ++i) {
    if (IsSurrogate(line[i])) FUZZ_CHECK(lower[i] == line[i]);
    if (line[i] >= u'A' && line[i] <= u'Z') FUZZ_CHECK(lower[i] == line[i] + 32);
  }

  const std::string narrow = ToNarrow(line);
  if (utf8 && WellFormed(line)) FUZZ_CHECK(WidenText(narrow) == line);
}

void CheckStripPrefix(std::string_view value, std::string_view prefix) {
  const std::string stripped = StripPrefix(value, prefix);
  FUZZ_CHECK(stripped.size() <= value.size());
  if (!prefix.empty()) {
    FUZZ_CHECK((value.size() - stripped.size()) % prefix.size() == 0);
  }
  FUZZ_CHECK(stripped == StripPrefixByHand(value, prefix));
}

// Arguments cut from the input at zero bytes, each in a buffer of exactly
// its own size so a write past one is caught.
void CheckArgv(const std::string& bytes, int n, std::string_view prefix) {
  std::vector<std::unique_ptr<char[]>> buffers;
  std::vector<std::string> original;
  size_t from = 0;
  while (from < bytes.size() && original.size() < 8) {
    size_t end = bytes.find('\0', from);
    if (end == std::string::npos) end = bytes.size();
    original.push_back(bytes.substr(from, end - from));
    from = end + 1;
  }
  std::vector<char*> argv;
  for (const std::string& arg : original) {
    buffers.emplace_back(new char[arg.size() + 1]);
    std::memcpy(buffers.back().get(), arg.c_str(), arg.size() + 1);
    argv.push_back(buffers.back().get());
  }
  argv.push_back(nullptr);
  const int argc = static_cast<int>(original.size());

  SetCommandLine(argc, argv.data());
  const std::u16string tail = CommandTail();
  std::vector<std::u16string> params;
  for (int k = 0; k <= 8; ++k) params.push_back(CommandParam(k));

  ScrubParamInArgv(n, prefix);

  FUZZ_CHECK(CommandTail() == tail);
  for (int k = 0; k <= 8; ++k) FUZZ_CHECK(CommandParam(k) == params[k]);
  size_t scrubbed = 0;
  for (int a = 0; a < argc; ++a) {
    const std::string& before = original[a];
    FUZZ_CHECK(std::strlen(argv[a]) == before.size());
    for (size_t i = 0; i < before.size(); ++i) {
      if (argv[a][i] != before[i]) {
        FUZZ_CHECK(argv[a][i] == '*');
        ++scrubbed;
      }
    }
  }
  // A parameter with text after its prefix leaves no byte of it visible:
  // at least one byte changed unless it was all '*' already. Spaces and
  // quotes may be the rebuild's own, which no argument holds.
  std::u16string visible = n >= 0 && n <= 8 ? params[n] : std::u16string();
  const std::u16string widePrefix = WidenText(prefix);
  if (!widePrefix.empty() && visible.substr(0, widePrefix.size()) == widePrefix) {
    visible.erase(0, widePrefix.size());
  }
  if (visible.find_first_not_of(u"* \"") != std::u16string::npos) {
    FUZZ_CHECK(scrubbed > 0);
  }
  SetCommandLine(0, nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const bool utf8 = input.ConsumeBool();
  UseLocale(utf8);

  const std::string bytes = input.ConsumeRandomLengthString(256);
  CheckBytes(bytes, utf8);

  CheckText(ConsumeUtf16(&input), utf8);

  static constexpr const char* kPrefixes[] = {"/pw:", "/user:", "/ip:", ""};
  const std::string prefix =
      input.ConsumeBool() ? kPrefixes[input.ConsumeIntegralInRange<int>(0, 3)]
                          : input.ConsumeRandomLengthString(8);
  CheckStripPrefix(bytes, prefix);

  const int n = input.ConsumeIntegralInRange<int>(-1, 8);
  CheckArgv(input.ConsumeRemainingBytesAsString(), n, prefix);
  return 0;
}
