#include "ScriptRules.h"

namespace streamaddon {

int ClampRecordRate(int rate) { return (rate >= 51 || rate <= 10) ? 30 : rate; }

int ClampPublishRate(int rate) { return (rate > 51 || rate < 10) ? 30 : rate; }

int PublishModeCode(const std::string& mode) {
    if (mode == "record") return 1;
    if (mode == "append") return 2;
    return 0;
}

std::string LowBytes(const std::u16string& text) {
    std::string out;
    out.reserve(text.size());
    for (char16_t unit : text) out.push_back(static_cast<char>(unit & 0xFF));
    return out;
}

std::string ResolveFileName(const std::string& folder, const std::string& file) {
    if (file.empty() || file[0] == '/' || folder.empty()) return file;
    return folder.back() == '/' ? folder + file : folder + "/" + file;
}

std::string TextProblem(const std::string& bytes) {
    if (bytes.size() > kMaxTextBytes) return "too long";
    if (bytes.find('\0') != std::string::npos) return "holds a NUL byte";
    return "";
}

}  // namespace streamaddon
