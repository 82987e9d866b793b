#include "support/ffprobe.h"

#include "support/process.h"

#include <cstdlib>
#include <sstream>

namespace testsupport {

ProbedFile ProbeMedia(const std::string& path) {
    const std::string out =
        RunCapture({"ffprobe", "-v", "error", "-count_frames", "-show_entries",
                    "stream=codec_type,codec_name,width,height,sample_rate,channels,nb_read_frames:format=duration",
                    "-of", "compact=p=1:nk=0", path});
    ProbedFile file;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        // One section a line: its name, then key=value fields, all separated by '|'.
        std::map<std::string, std::string> kv;
        std::istringstream fields(line);
        std::string field, section;
        std::getline(fields, section, '|');
        while (std::getline(fields, field, '|')) {
            const auto eq = field.find('=');
            if (eq != std::string::npos) kv[field.substr(0, eq)] = field.substr(eq + 1);
        }
        if (section == "stream") {
            ProbedStream& s = file.streams[kv["codec_type"]];
            s.codec = kv["codec_name"];
            s.width = std::atoi(kv["width"].c_str());
            s.height = std::atoi(kv["height"].c_str());
            s.sampleRate = std::atoi(kv["sample_rate"].c_str());
            s.channels = std::atoi(kv["channels"].c_str());
            s.frames = std::atol(kv["nb_read_frames"].c_str());
        } else if (section == "format") {
            file.duration = std::atof(kv["duration"].c_str());
        }
    }
    return file;
}

std::string DecodeErrors(const std::string& path) {
    int status = -1;
    std::string out = RunCapture(
        {"sh", "-c", "ffmpeg -nostdin -v error -i \"$0\" -enc_time_base -1 -f null - 2>&1", path}, 120000, &status);
    if (status != 0) out += "[exit status " + std::to_string(status) + "]";
    return out;
}

}  // namespace testsupport
