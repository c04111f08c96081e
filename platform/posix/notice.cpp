#include "platform/notice.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace platform {

namespace {

bool LocaleIsUtf8() {
  for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') continue;
    return std::strstr(value, "UTF-8") != nullptr || std::strstr(value, "utf8") != nullptr ||
           std::strstr(value, "UTF8") != nullptr || std::strstr(value, "utf-8") != nullptr;
  }
  return false;
}

// The two curly quotes are the only bytes above ASCII the notice holds; others pass as they are.
std::string ForTerminal(const std::string& text) {
  if (!LocaleIsUtf8()) return text;
  std::string shown;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte == 0x93) {
      shown += "\xE2\x80\x9C";
    } else if (byte == 0x94) {
      shown += "\xE2\x80\x9D";
    } else {
      shown += c;
    }
  }
  return shown;
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
  WriteAll(fd, caption + "\n\n" + ForTerminal(text) + "\n\nPress Enter for OK. ");
  WaitForEnter(fd);
  WriteAll(fd, "\n");
  ::close(fd);
}

}  // namespace platform
