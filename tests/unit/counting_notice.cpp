// Stands in for the terminal notice: counts how often it is shown and what it carries.
#include "counting_notice.h"

namespace platform {

void ShowNotice(const std::string& caption, const std::string& text) {
  ++g_noticeShown;
  g_noticeCaption = caption;
  g_noticeText = text;
}

}  // namespace platform

int g_noticeShown = 0;
std::string g_noticeCaption;
std::string g_noticeText;
