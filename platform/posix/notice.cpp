#include "platform/notice.h"

#include <fcntl.h>
#include <langinfo.h>
#include <locale.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/posix/notice_quotes.h"

namespace platform {

namespace notice {

namespace {

std::string Folded(const std::string& name) {
  std::string folded;
  for (const char c : name) {
    if (c == '-' || c == '_') continue;
    folded += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  return folded;
}

// language[_territory][.codeset][@modifier]
std::string CodesetInLocaleName(const std::string& localeName) {
  const std::size_t dot = localeName.find('.');
  if (dot == std::string::npos) return "";
  const std::size_t at = localeName.find('@', dot);
  return localeName.substr(dot + 1, at == std::string::npos ? std::string::npos : at - dot - 1);
}

}  // namespace

QuoteStyle QuoteStyleForCodeset(const std::string& codeset) {
  const std::string folded = Folded(codeset);
  if (folded == "utf8") return QuoteStyle::kUtf8;
  if (folded == "cp1252" || folded == "windows1252") return QuoteStyle::kWindows1252;
  return QuoteStyle::kPlain;
}

std::string CodesetOfLocale(const std::string& localeName) {
  // An empty name would have newlocale read the environment itself.
  const std::string name = localeName.empty() ? "C" : localeName;
  const locale_t locale = ::newlocale(LC_CTYPE_MASK, name.c_str(), static_cast<locale_t>(0));
  if (locale == static_cast<locale_t>(0)) return CodesetInLocaleName(name);
  const char* codeset = ::nl_langinfo_l(CODESET, locale);
  std::string result = codeset != nullptr ? codeset : "";
  ::freelocale(locale);
  return result;
}

std::string ForTerminal(const std::string& text, QuoteStyle style) {
  std::string shown;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80 || style == QuoteStyle::kWindows1252) {
      shown += c;
    } else if (byte == 0x93 || byte == 0x94) {
      if (style == QuoteStyle::kUtf8) {
        shown += byte == 0x93 ? "\xE2\x80\x9C" : "\xE2\x80\x9D";
      } else {
        shown += '"';
      }
    } else {
      shown += '?';
    }
  }
  return shown;
}

}  // namespace notice

namespace {

// As the C library picks the name for LC_CTYPE, without setlocale, which would change the
// locale of the whole process.
std::string CtypeLocaleName() {
  for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* value = std::getenv(variable);
    if (value != nullptr && *value != '\0') return value;
  }
  return "C";
}

void WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

void WaitForEnter(int fd) {
  char c = 0;
  for (;;) {
    const ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || c == '\n' || c == '\r') return;
  }
}

}  // namespace

void ShowNotice(const std::string& caption, const std::string& text) {
  const int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return;
  const notice::QuoteStyle style =
      notice::QuoteStyleForCodeset(notice::CodesetOfLocale(CtypeLocaleName()));
  WriteAll(fd, notice::ForTerminal(caption, style) + "\n\n" + notice::ForTerminal(text, style) +
                   "\n\nPress Enter for OK. ");
  WaitForEnter(fd);
  WriteAll(fd, "\n");
  ::close(fd);
}

}  // namespace platform
