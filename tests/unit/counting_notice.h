#pragma once

#include <string>

#include "platform/notice.h"

extern int g_noticeShown;
extern std::string g_noticeCaption;
extern std::string g_noticeText;
