// The script module "streamAddon": fourteen functions over the process-wide LiveMediaPlugin,
// and the native half of the script class StreamCore beside them (ScriptStreamCore.h).
//
// Every function runs on the script thread. Argument errors and "live media is null" are
// thrown as TypeError with fixed texts; endpoint failures are results, never exceptions.
#include "LiveMediaPlugin.h"
#include "ScriptRules.h"
#include "ScriptStreamCore.h"

#include <napi.h>

#include <Poco/Exception.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>

using namespace streamaddon;

namespace {

const char kNotReady[] = "live media is null";
const char kWrongCount[] = "Wrong number of arguments";
const char kWrongArguments[] = "Wrong arguments";
const char kWrongSize[] = "Wrong arguments width or height";
const char kWrongBool[] = "Wrong arguments bool";
const char kWrongFileName[] = "Wrong arguments file name";
const char kWrongUrl[] = "Wrong arguments stream url";
const char kWrongMode[] = "Wrong arguments mode";

// The run callback, held while it is an object or function (primitives cannot be held and are
// never called anyway).
std::unique_ptr<Napi::Reference<Napi::Value>> g_runCallback;

// The process's folder when the module was first loaded, before the endpoint moved it:
// relative file names of the script are taken against it.
std::string g_loadFolder;

[[noreturn]] void Fail(const Napi::Env& env, const std::string& text) { throw Napi::TypeError::New(env, text); }

void RequireReady(const Napi::Env& env) {
    if (!Plugin().Ready()) Fail(env, kNotReady);
}

int Int32(const Napi::Value& v) { return v.As<Napi::Number>().Int32Value(); }

// A text that reaches the endpoint as a C string: refused when it would be cut.
void RequireWhole(const Napi::Env& env, const std::string& bytes, const char* what) {
    const std::string problem = TextProblem(bytes);
    if (!problem.empty()) Fail(env, std::string(what) + " " + problem);
}

std::string OneByte(const Napi::Value& v) { return LowBytes(v.As<Napi::String>().Utf16Value()); }

// Calls the run callback with text when it is a function; otherwise the text is dropped.
void CallRunCallback(const Napi::Env& env, const std::string& text) {
    if (!g_runCallback || g_runCallback->IsEmpty()) return;
    Napi::Value callback = g_runCallback->Value();
    if (!callback.IsFunction()) return;
    callback.As<Napi::Function>().Call(env.Null(), {Napi::String::New(env, text)});
}

Napi::Value Initialize(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    if (info.Length() < 1) Fail(env, kWrongCount);
    if (!info[0].IsBoolean()) Fail(env, kWrongArguments);
    int initialized = 0;
    try {
        initialized = Plugin().Initialize(info[0].As<Napi::Boolean>().Value());
    } catch (const Poco::Exception& e) {
        throw Napi::Error::New(env, e.displayText());
    }
    CallRunCallback(env, "Initialize finish");
    return Napi::Number::New(env, initialized);
}

Napi::Value Uninitialize(const Napi::CallbackInfo& info) {
    Plugin().Uninitialize();
    CallRunCallback(info.Env(), "Uninitialize finish");
    return info.Env().Undefined();
}

Napi::Value SetRunCallback(const Napi::CallbackInfo& info) {
    Napi::Value callback = info[0];
    g_runCallback.reset();
    if (callback.IsObject() || callback.IsFunction())
        g_runCallback = std::make_unique<Napi::Reference<Napi::Value>>(Napi::Persistent(callback));
    return info.Env().Undefined();
}

Napi::Value OnTimer(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    std::string text;
    const std::size_t count = Events().TakeOldest(&text);
    if (count != 0) CallRunCallback(env, text);
    return Napi::Number::New(env, static_cast<double>(count));
}

Napi::Value GetMicphoneCount(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    RequireReady(env);
    return Napi::Number::New(env, Plugin().Core()->GetMicphoneCount());
}

// The index argument of getMicphoneNames and openMic, checked in their order.
int MicIndex(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    if (info.Length() < 1) Fail(env, kWrongCount);
    if (!info[0].IsNumber()) Fail(env, kWrongArguments);
    RequireReady(env);
    return Int32(info[0]);
}

Napi::Value GetMicphoneNames(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    const int index = MicIndex(info);
    char name[128] = {0}, uniName[128] = {0};
    const bool ok = Plugin().Core()->GetMicphoneNames(index, name, uniName);
    name[sizeof name - 1] = '\0';
    return Napi::String::New(env, ok ? name : "error");
}

Napi::Value OpenMic(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    const int index = MicIndex(info);
    char name[128] = {0}, uniName[128] = {0};
    bool ok = Plugin().Core()->GetMicphoneNames(index, name, uniName);
    uniName[sizeof uniName - 1] = '\0';
    if (ok) ok = Plugin().Core()->OpenMic(uniName);
    return Napi::Boolean::New(env, ok);
}

Napi::Value CloseMic(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    RequireReady(env);
    return Napi::Boolean::New(env, Plugin().Core()->CloseMic());
}

Napi::Value EnumWindowList(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    RequireReady(env);
    const char* list = Plugin().Core()->EnumWindowList();
    return Napi::String::New(env, list ? list : "");
}

Napi::Value StartRecordApp(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    RequireReady(env);
    if (info.Length() < 7) Fail(env, kWrongCount);
    if (!info[0].IsString()) Fail(env, kWrongArguments);
    if (!info[1].IsNumber()) Fail(env, kWrongArguments);
    if (!info[2].IsNumber() || !info[3].IsNumber() || !info[4].IsNumber() || !info[6].IsNumber())
        Fail(env, kWrongSize);
    if (!info[5].IsBoolean()) Fail(env, kWrongBool);
    const std::string file = info[0].As<Napi::String>().Utf8Value();
    if (file.empty()) Fail(env, kWrongFileName);
    RequireWhole(env, file, kWrongFileName);

    CaptureAsk ask;
    ask.window = static_cast<uint32_t>(Int32(info[1]));
    ask.width = Int32(info[2]);
    ask.height = Int32(info[3]);
    ask.kbps = Int32(info[4]);
    ask.fps = ClampRecordRate(Int32(info[6]));
    const bool flag = info[5].As<Napi::Boolean>().Value();
    return Napi::Number::New(env, Plugin().Flows().StartRecord(ResolveFileName(g_loadFolder, file), ask, flag));
}

Napi::Value StopRecordApp(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    RequireReady(env);
    return Napi::Boolean::New(env, Plugin().Flows().StopRecord());
}

Napi::Value PublishStream(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    RequireReady(env);
    if (info.Length() < 5) Fail(env, kWrongCount);
    if (!info[0].IsNumber()) Fail(env, kWrongArguments);
    if (!info[1].IsString()) Fail(env, kWrongArguments);
    if (!info[2].IsNumber() || !info[3].IsNumber() || !info[4].IsNumber() || !info[6].IsNumber())
        Fail(env, kWrongSize);
    const std::string url = OneByte(info[1]);
    if (url.empty()) Fail(env, kWrongUrl);
    RequireWhole(env, url, kWrongUrl);
    const std::string mode = OneByte(info[5].ToString());
    RequireWhole(env, mode, kWrongMode);

    CaptureAsk ask;
    ask.window = static_cast<uint32_t>(Int32(info[0]));
    ask.width = Int32(info[2]);
    ask.height = Int32(info[3]);
    ask.kbps = Int32(info[4]);
    ask.fps = ClampPublishRate(Int32(info[6]));
    return Napi::Number::New(env, Plugin().Flows().StartPublish(url, ask, PublishModeCode(mode)));
}

Napi::Value StopPublishStream(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    RequireReady(env);
    return Napi::Boolean::New(env, Plugin().Flows().StopPublish());
}

Napi::Value ForceKeyFrame(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    RequireReady(env);
    if (info.Length() < 1) Fail(env, kWrongCount);
    if (!info[0].IsString()) Fail(env, kWrongArguments);
    const std::string url = OneByte(info[0]);
    if (url.empty()) Fail(env, kWrongUrl);
    RequireWhole(env, url, kWrongUrl);
    return Napi::Boolean::New(env, Plugin().Core()->ForceKeyFrame(url.c_str()));
}

// Module unload: captures stopped, endpoint ended and destroyed, queue emptied, and the
// run callback released while its environment still exists.
void Unload(void*) {
    Plugin().Unload();
    g_runCallback.reset();
}

// process.exit ends the process without the environment's clean-up: the endpoint is ended at
// exit instead, before the libraries' own objects go, so no capture, encoder or worker thread
// of ours outlives the state it runs on. No script value is touched there.
void EndAtExit() { Plugin().Unload(); }

Napi::Object Init(Napi::Env env, Napi::Object exports) {
    struct Entry {
        const char* name;
        Napi::Value (*fn)(const Napi::CallbackInfo&);
    };
    static const Entry kFunctions[] = {
        {"initialize", Initialize},
        {"uninitialize", Uninitialize},
        {"setRunCallback", SetRunCallback},
        {"onTimer", OnTimer},
        {"getMicphoneCount", GetMicphoneCount},
        {"getMicphoneNames", GetMicphoneNames},
        {"openMic", OpenMic},
        {"closeMic", CloseMic},
        {"enumWindowList", EnumWindowList},
        {"startRecordApp", StartRecordApp},
        {"stopRecordApp", StopRecordApp},
        {"publishStream", PublishStream},
        {"stopPublishStream", StopPublishStream},
        {"forceKeyFrame", ForceKeyFrame},
    };
    for (const Entry& entry : kFunctions) exports.Set(entry.name, Napi::Function::New(env, entry.fn, entry.name));
    DefineScriptStreamCore(env, exports);
    napi_add_env_cleanup_hook(env, Unload, nullptr);
    static std::once_flag s_atExit;
    std::call_once(s_atExit, [] {
        std::atexit(EndAtExit);
        char folder[PATH_MAX];
        if (getcwd(folder, sizeof folder) != nullptr) g_loadFolder = folder;
    });
    return exports;
}

}  // namespace

const std::string& streamaddon::LoadFolder() { return g_loadFolder; }

NODE_API_MODULE(streamAddon, Init)
