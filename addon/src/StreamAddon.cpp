// The script module "streamAddon": fourteen functions over the environment's ModuleApi, and
// the native half of the script class StreamCore beside them (ScriptStreamCore.h).
//
// Every environment that loads the module (the main thread's, each worker's) has its own
// ModuleApi and run callback; its end closes what it opened and nothing else. Every function
// runs on its environment's script thread, holding the plug-in's call lock while it touches
// the endpoint. Argument errors and "live media is null" are thrown as TypeError with fixed
// texts; endpoint failures are results, never exceptions.
#include "LiveMediaPlugin.h"
#include "ModuleApi.h"
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

// What one environment has of the module.
struct ModuleEnv {
    ModuleApi api{Plugin()};
    // The run callback, held while it is an object or function (primitives cannot be held and
    // are never called anyway).
    std::unique_ptr<Napi::Reference<Napi::Value>> runCallback;
};

ModuleEnv& Module(const Napi::Env& env) { return *env.GetInstanceData<ModuleEnv>(); }

ModuleApi& Api(const Napi::Env& env) { return Module(env).api; }

// An entry point that runs with the plug-in's call lock held.
template <Napi::Value (*Function)(const Napi::CallbackInfo&)>
Napi::Value Serialized(const Napi::CallbackInfo& info) {
    ScriptLock lock(Plugin().CallLock());
    return Function(info);
}

// The process's folder when the module was first loaded, before the endpoint moved it:
// relative file names of the script are taken against it.
std::string g_loadFolder;

[[noreturn]] void Fail(const Napi::Env& env, const std::string& text) { throw Napi::TypeError::New(env, text); }

void RequireReady(const Napi::Env& env) {
    if (!Api(env).Ready()) Fail(env, kNotReady);
}

int Int32(const Napi::Value& v) { return v.As<Napi::Number>().Int32Value(); }

// A text that reaches the endpoint as a C string: refused when it would be cut.
void RequireWhole(const Napi::Env& env, const std::string& bytes, const char* what) {
    const std::string problem = TextProblem(bytes);
    if (!problem.empty()) Fail(env, std::string(what) + " " + problem);
}

std::string OneByte(const Napi::Value& v) { return LowBytes(v.As<Napi::String>().Utf16Value()); }

// Calls the run callback with text when it is a function; otherwise the text is dropped. Runs
// without the call lock: the script may call the module again, from here or other threads.
void CallRunCallback(const Napi::Env& env, const std::string& text) {
    const auto& held = Module(env).runCallback;
    if (!held || held->IsEmpty()) return;
    Napi::Value callback = held->Value();
    if (!callback.IsFunction()) return;
    callback.As<Napi::Function>().Call(env.Null(), {Napi::String::New(env, text)});
}

Napi::Value Initialize(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    if (info.Length() < 1) Fail(env, kWrongCount);
    if (!info[0].IsBoolean()) Fail(env, kWrongArguments);
    int initialized = 0;
    try {
        ScriptLock lock(Plugin().CallLock());
        initialized = Api(env).Initialize(info[0].As<Napi::Boolean>().Value());
    } catch (const Poco::Exception& e) {
        throw Napi::Error::New(env, e.displayText());
    }
    CallRunCallback(env, "Initialize finish");
    return Napi::Number::New(env, initialized);
}

Napi::Value Uninitialize(const Napi::CallbackInfo& info) {
    {
        ScriptLock lock(Plugin().CallLock());
        Api(info.Env()).Uninitialize();
    }
    CallRunCallback(info.Env(), "Uninitialize finish");
    return info.Env().Undefined();
}

Napi::Value SetRunCallback(const Napi::CallbackInfo& info) {
    Napi::Value callback = info[0];
    auto& held = Module(info.Env()).runCallback;
    held.reset();
    if (callback.IsObject() || callback.IsFunction())
        held = std::make_unique<Napi::Reference<Napi::Value>>(Napi::Persistent(callback));
    return info.Env().Undefined();
}

Napi::Value OnTimer(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    std::string text;
    const std::size_t count = Api(env).Events().TakeOldest(&text);
    if (count != 0) CallRunCallback(env, text);
    return Napi::Number::New(env, static_cast<double>(count));
}

Napi::Value GetMicphoneCount(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    RequireReady(env);
    return Napi::Number::New(env, Api(env).Core()->GetMicphoneCount());
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
    const bool ok = Api(env).Core()->GetMicphoneNames(index, name, uniName);
    name[sizeof name - 1] = '\0';
    return Napi::String::New(env, ok ? name : "error");
}

Napi::Value OpenMic(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    const int index = MicIndex(info);
    char name[128] = {0}, uniName[128] = {0};
    bool ok = Api(env).Core()->GetMicphoneNames(index, name, uniName);
    uniName[sizeof uniName - 1] = '\0';
    if (ok) ok = Api(env).Core()->OpenMic(uniName);
    return Napi::Boolean::New(env, ok);
}

Napi::Value CloseMic(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    RequireReady(env);
    return Napi::Boolean::New(env, Api(env).Core()->CloseMic());
}

Napi::Value EnumWindowList(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    RequireReady(env);
    const char* list = Api(env).Core()->EnumWindowList();
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
    return Napi::Number::New(env, Api(env).Flows().StartRecord(ResolveFileName(g_loadFolder, file), ask, flag));
}

Napi::Value StopRecordApp(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    RequireReady(env);
    return Napi::Boolean::New(env, Api(env).Flows().StopRecord());
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
    return Napi::Number::New(env, Api(env).Flows().StartPublish(url, ask, PublishModeCode(mode)));
}

Napi::Value StopPublishStream(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    RequireReady(env);
    return Napi::Boolean::New(env, Api(env).Flows().StopPublish());
}

Napi::Value ForceKeyFrame(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    RequireReady(env);
    if (info.Length() < 1) Fail(env, kWrongCount);
    if (!info[0].IsString()) Fail(env, kWrongArguments);
    const std::string url = OneByte(info[0]);
    if (url.empty()) Fail(env, kWrongUrl);
    RequireWhole(env, url, kWrongUrl);
    return Napi::Boolean::New(env, Api(env).Core()->ForceKeyFrame(url.c_str()));
}

// The environment's end: what its module functions started is stopped, its queue emptied and
// its run callback released while the environment still exists; the endpoint ends with its
// last user. (Script objects of the environment close themselves in hooks of their own.)
void Unload(void* data) {
    ModuleEnv* module = static_cast<ModuleEnv*>(data);
    {
        ScriptLock lock(Plugin().CallLock());
        module->api.Unload();
    }
    module->runCallback.reset();
}

// process.exit ends the process without the environments' clean-up: every user's work is
// stopped and the endpoint ended at exit instead, before the libraries' own objects go, so no
// capture, encoder or worker thread of ours outlives the state it runs on. No script value is
// touched there.
void EndAtExit() { Plugin().EndAll(); }

Napi::Object Init(Napi::Env env, Napi::Object exports) {
    struct Entry {
        const char* name;
        Napi::Value (*fn)(const Napi::CallbackInfo&);
    };
    // The three that call the run callback take the call lock themselves, around the part
    // that needs it.
    static const Entry kFunctions[] = {
        {"initialize", Initialize},
        {"uninitialize", Uninitialize},
        {"setRunCallback", SetRunCallback},
        {"onTimer", OnTimer},
        {"getMicphoneCount", Serialized<GetMicphoneCount>},
        {"getMicphoneNames", Serialized<GetMicphoneNames>},
        {"openMic", Serialized<OpenMic>},
        {"closeMic", Serialized<CloseMic>},
        {"enumWindowList", Serialized<EnumWindowList>},
        {"startRecordApp", Serialized<StartRecordApp>},
        {"stopRecordApp", Serialized<StopRecordApp>},
        {"publishStream", Serialized<PublishStream>},
        {"stopPublishStream", Serialized<StopPublishStream>},
        {"forceKeyFrame", Serialized<ForceKeyFrame>},
    };
    ModuleEnv* module = new ModuleEnv;
    env.SetInstanceData(module);
    for (const Entry& entry : kFunctions) exports.Set(entry.name, Napi::Function::New(env, entry.fn, entry.name));
    DefineScriptStreamCore(env, exports);
    napi_add_env_cleanup_hook(env, Unload, module);
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
