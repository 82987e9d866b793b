// The window-list text that EnumWindowList returns.
//
// {"count":N,"windowList":[{"filePath":"...","hWnd":H,"windowName":"..."},...]}\n
// compact (jsoncpp's FastWriter: no white space, members in ascending key order, one line
// feed at the end). "count" is the number of entries the window-share manager returned, null
// entries included; "windowList" holds the non-null ones in order and is absent when there
// are none. "hWnd" is the handle as a signed 32-bit integer, so a handle at or above 2^31 is
// written negative.
// Threads: pure function, any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace streamcore {

struct WindowListItem {
    uint64_t handle = 0;
    std::string title;
    std::string filePath;
};

// count: entries of the manager's list (null entries included); items: the non-null ones.
// The result is the UTF-8 text (narrow text through s2ws and Poco's UTF-8 conversion).
std::string BuildWindowListJson(int count, const std::vector<WindowListItem>& items);

}  // namespace streamcore
