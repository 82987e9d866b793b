#include "WindowListJson.h"

#include "common/util.h"

#include <Poco/UnicodeConverter.h>
#include <json/json.h>

namespace streamcore {

std::string BuildWindowListJson(int count, const std::vector<WindowListItem>& items) {
    Json::Value root(Json::objectValue);
    root["count"] = Json::Value(static_cast<Json::Int>(count));
    for (const WindowListItem& item : items) {
        Json::Value entry(Json::objectValue);
        entry["hWnd"] = Json::Value(static_cast<Json::Int>(static_cast<int32_t>(static_cast<uint32_t>(item.handle))));
        entry["windowName"] = Json::Value(item.title);
        entry["filePath"] = Json::Value(item.filePath);
        root["windowList"].append(entry);
    }
    // Compact, one line ending in a newline, and titles kept as UTF-8 text: the older
    // FastWriter would escape every non-ASCII character as \uXXXX.
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    std::string text = Json::writeString(builder, root) + "\n";
    std::wstring wide = Orvane::Common::s2ws(text);
    std::string utf8;
    Poco::UnicodeConverter::toUTF8(wide, utf8);
    return utf8;
}

}  // namespace streamcore
