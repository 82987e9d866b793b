// The native half of the script class StreamCore: defines the class "NativeStreamCore" on the
// module's exports as a property that is not enumerable (the module's enumerable exports stay
// its fourteen functions). index.js wraps it in an EventEmitter with argument checks.
#pragma once

#include <napi.h>

#include <string>

namespace streamaddon {

void DefineScriptStreamCore(Napi::Env env, Napi::Object exports);

// The process's folder when the module was first loaded: relative file names of the script
// are taken against it (defined with the module's functions).
const std::string& LoadFolder();

}  // namespace streamaddon
