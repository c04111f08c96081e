#include "cli/arguments.h"

#include <cstdint>
#include <limits>

#include "platform/notice.h"

namespace {

char FoldAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool IsAtolSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

}  // namespace

bool EqualsIgnoringCase(std::string_view left, std::string_view right) {
  if (left.size() != right.size()) return false;
  for (std::size_t i = 0; i < left.size(); ++i) {
    if (FoldAscii(left[i]) != FoldAscii(right[i])) return false;
  }
  return true;
}

void ParseArguments(std::vector<std::string>& arguments, int argc, const char* const* argv) {
  bool showNotice = true;
  for (int i = 0; i < argc; ++i) {
    std::string copy = argv[i] != nullptr ? argv[i] : "";
    if (EqualsIgnoringCase(copy, kNoWarn)) {
      showNotice = false;
    } else {
      arguments.push_back(std::move(copy));
    }
  }
  if (showNotice) platform::ShowNotice(std::string(kNoticeCaption), std::string(kNoticeText));
}

std::int32_t ToNumber(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && IsAtolSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  // Accumulate past the limit only as far as needed to know it is passed.
  constexpr std::int64_t kLimit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
  std::int64_t magnitude = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    magnitude = magnitude * 10 + (text[i] - '0');
    if (magnitude > kLimit) magnitude = kLimit;
  }
  if (negative) return static_cast<std::int32_t>(-magnitude);
  return static_cast<std::int32_t>(magnitude >= kLimit ? kLimit - 1 : magnitude);
}
