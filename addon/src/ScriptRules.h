// Small rules of the script functions that do not depend on the script runtime: the frame
// rates each flow accepts, the publish mode names, and how script texts become byte strings.
//
// Threads: pure functions, callable from any thread.
#pragma once

#include <string>

namespace streamaddon {

// The longest text (in bytes, without the terminating NUL) a script text may have.
enum { kMaxTextBytes = 255 };

// Frame rate of a recording: 11 to 50 pass, anything else becomes 30.
int ClampRecordRate(int rate);
// Frame rate of a publication: 10 to 51 pass, anything else becomes 30.
int ClampPublishRate(int rate);

// "record" is 1, "append" is 2, any other text 0 (live).
int PublishModeCode(const std::string& mode);

// One byte per UTF-16 unit: the low byte of each.
std::string LowBytes(const std::u16string& text);

// Why a text cannot be handed on as a C string: "" when it can; "too long" beyond
// kMaxTextBytes bytes; "holds a NUL byte" when a NUL would cut it short.
std::string TextProblem(const std::string& bytes);

// A file name as the script means it: an absolute path stays as it is, a relative one is taken
// against folder (the process's folder when the module was loaded: the endpoint moves the
// process to its executable's folder, which the script never sees).
std::string ResolveFileName(const std::string& folder, const std::string& file);

}  // namespace streamaddon
