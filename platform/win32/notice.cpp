#include "platform/notice.h"

#include <windows.h>

namespace platform {

// No owner window, MB_OK; the result is of no interest: a box that cannot be shown just returns.
void ShowNotice(const std::string& caption, const std::string& text) {
  MessageBoxA(nullptr, text.c_str(), caption.c_str(), MB_OK);
}

}  // namespace platform
