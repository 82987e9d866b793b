// Argument checks and errors of the script class's methods: a value of another type than
// index.js checks for gives a TypeError, an endpoint failure an Error.
#pragma once

#include "ScriptRules.h"

#include <napi.h>

#include <cstdint>
#include <string>

namespace streamaddon {

inline constexpr char kClosed[] = "StreamCore is closed";

inline void* ToHandle(uint64_t window) { return reinterpret_cast<void*>(static_cast<uintptr_t>(window)); }

[[noreturn]] inline void WrongType(const Napi::Env& env, const char* method, const char* what) {
    throw Napi::TypeError::New(env, std::string(method) + ": " + what);
}

[[noreturn]] inline void Failed(const Napi::Env& env, const std::string& text) { throw Napi::Error::New(env, text); }

inline std::string Text(const Napi::CallbackInfo& info, size_t i, const char* method, const char* name) {
    if (!info[i].IsString()) WrongType(info.Env(), method, (std::string(name) + " must be a string").c_str());
    const std::string text = info[i].As<Napi::String>().Utf8Value();
    const std::string problem = TextProblem(text);
    if (!problem.empty()) WrongType(info.Env(), method, (std::string(name) + " " + problem).c_str());
    return text;
}

inline int Int(const Napi::CallbackInfo& info, size_t i, const char* method, const char* name) {
    if (!info[i].IsNumber()) WrongType(info.Env(), method, (std::string(name) + " must be a number").c_str());
    return info[i].As<Napi::Number>().Int32Value();
}

inline uint64_t Window(const Napi::CallbackInfo& info, size_t i, const char* method, const char* name) {
    if (!info[i].IsNumber()) WrongType(info.Env(), method, (std::string(name) + " must be a window id").c_str());
    return static_cast<uint32_t>(info[i].As<Napi::Number>().Int64Value());
}

inline bool Bool(const Napi::CallbackInfo& info, size_t i, const char* method, const char* name) {
    if (!info[i].IsBoolean()) WrongType(info.Env(), method, (std::string(name) + " must be a boolean").c_str());
    return info[i].As<Napi::Boolean>().Value();
}

// Name and id of each device a Get...Names call lists.
template <class Count, class Names>
Napi::Array Devices(Napi::Env env, Count count, Names names) {
    Napi::Array list = Napi::Array::New(env);
    const int n = count();
    for (int i = 0; i < n; ++i) {
        char name[128] = {0}, id[128] = {0};
        if (!names(i, name, id)) continue;
        name[sizeof name - 1] = '\0';
        id[sizeof id - 1] = '\0';
        Napi::Object device = Napi::Object::New(env);
        device.Set("id", id);
        device.Set("name", name);
        list.Set(list.Length(), device);
    }
    return list;
}

}  // namespace streamaddon
