// Calls across threads: Invoke runs a functor on a Thread and waits for its result;
// AsyncInvoker::AsyncInvoke queues it there and returns at once.
//
//   int n = mtp::Invoke<int>(worker, mtp::Bind(&Endpoint::SlotCount, this, url));
//   invoker.AsyncInvoke<void>(worker, mtp::Bind(&Endpoint::SlotStop, this, url));
#pragma once

#include <atomic>
#include <cstddef>
#include <cstring>
#include <cstdint>
#include <functional>
#include <new>
#include <tuple>
#include <type_traits>
#include <utility>

#include "mtp/messagequeue.h"
#include "mtp/refcount.h"
#include "mtp/sigslot.h"
#include "mtp/thread.h"

namespace mtp {

class AsyncClosure : public RefInstance {
public:
    virtual void Execute() = 0;
};

// Runs a copy of the functor and discards its result.
template <class FunctorT>
class FireAndForgetAsyncClosure : public AsyncClosure {
public:
    explicit FireAndForgetAsyncClosure(const FunctorT& functor) : m_functor(functor) {}
    explicit FireAndForgetAsyncClosure(FunctorT&& functor) : m_functor(std::move(functor)) {}
    void Execute() override { m_functor(); }

private:
    FunctorT m_functor;
};

// An object, one of its member functions and copies of the arguments (strings and shared
// pointers are copied, never referred to). Calling it calls the member function.
template <class ObjectT, class MethodT, class R, class... Params>
class MethodFunctor {
public:
    template <class... Args>
    MethodFunctor(MethodT method, ObjectT* object, Args&&... args)
        : m_method(method), m_object(object), m_args(std::forward<Args>(args)...) {}

    R operator()() const {
        return std::apply([this](const auto&... args) -> R { return (m_object->*m_method)(args...); }, m_args);
    }

private:
    MethodT m_method;
    ObjectT* m_object;
    std::tuple<std::decay_t<Params>...> m_args;
};

template <class ObjectT, class MethodT, class R, class P1>
using MethodFunctor1 = MethodFunctor<ObjectT, MethodT, R, P1>;
template <class ObjectT, class MethodT, class R, class P1, class P2>
using MethodFunctor2 = MethodFunctor<ObjectT, MethodT, R, P1, P2>;
template <class ObjectT, class MethodT, class R, class P1, class P2, class P3>
using MethodFunctor3 = MethodFunctor<ObjectT, MethodT, R, P1, P2, P3>;
template <class ObjectT, class MethodT, class R, class P1, class P2, class P3, class P4>
using MethodFunctor4 = MethodFunctor<ObjectT, MethodT, R, P1, P2, P3, P4>;
template <class ObjectT, class MethodT, class R, class P1, class P2, class P3, class P4, class P5>
using MethodFunctor5 = MethodFunctor<ObjectT, MethodT, R, P1, P2, P3, P4, P5>;

template <class ObjectT, class R, class... Params, class... Args>
MethodFunctor<ObjectT, R (ObjectT::*)(Params...), R, Params...> Bind(R (ObjectT::*method)(Params...),
                                                                     ObjectT* object, Args&&... args) {
    static_assert(sizeof...(Params) == sizeof...(Args), "one argument per parameter");
    return MethodFunctor<ObjectT, R (ObjectT::*)(Params...), R, Params...>(method, object,
                                                                           std::forward<Args>(args)...);
}

template <class ObjectT, class R, class... Params, class... Args>
MethodFunctor<const ObjectT, R (ObjectT::*)(Params...) const, R, Params...> Bind(
    R (ObjectT::*method)(Params...) const, const ObjectT* object, Args&&... args) {
    static_assert(sizeof...(Params) == sizeof...(Args), "one argument per parameter");
    return MethodFunctor<const ObjectT, R (ObjectT::*)(Params...) const, R, Params...>(
        method, object, std::forward<Args>(args)...);
}

// Holds a copy of the functor and its result; the result is R's zero value until the functor
// has run (for example when the target thread was quitting). Lives on the caller's stack.
template <class R, class FunctorT>
class FunctorMessageHandler : public MessageHandler {
public:
    explicit FunctorMessageHandler(const FunctorT& functor) : m_functor(functor), m_result() {}
    void OnMessage(Message* /*msg*/) override { m_result = m_functor(); }
    const R& result() const { return m_result; }
    R MoveResult() { return std::move(m_result); }

private:
    FunctorT m_functor;
    R m_result;
};

template <class FunctorT>
class FunctorMessageHandler<void, FunctorT> : public MessageHandler {
public:
    explicit FunctorMessageHandler(const FunctorT& functor) : m_functor(functor) {}
    void OnMessage(Message* /*msg*/) override { m_functor(); }
    void result() const {}
    void MoveResult() {}

private:
    FunctorT m_functor;
};

// A payload holding one counted reference to a T.
template <class T>
class ScopedRefMessageData : public MessageData {
public:
    explicit ScopedRefMessageData(T* object) : m_pObject(object) {
        if (m_pObject) m_pObject->AddRef();
    }
    ~ScopedRefMessageData() override {
        if (m_pObject) m_pObject->Release();
    }
    T* data() const { return m_pObject; }

private:
    T* m_pObject;
};

namespace internal {

// The payload of one asynchronous call. Like ScopedRefMessageData it holds one reference to
// its closure, but it is built inside the closure's own allocation, so that a call costs one
// allocation rather than two (the second was most of the difference to a bare queue). Queues
// destroy it with delete: its destructor does nothing and its operator delete, which runs once
// the payload object has ended, drops the reference through a pointer stored in front of the
// payload. The memory goes with the closure when its count reaches 0.
class InlineClosureData : public MessageData {
public:
    AsyncClosure* closure() const { return m_pClosure; }
    static void operator delete(void* payload) noexcept {
        AsyncClosure* closure;
        std::memcpy(&closure, static_cast<char*>(payload) - sizeof(AsyncClosure*), sizeof closure);
        closure->Release();
    }

private:
    template <class FunctorT>
    friend class InvokerClosure;
    explicit InlineClosureData(AsyncClosure* closure) : m_pClosure(closure) { m_pClosure->AddRef(); }

    AsyncClosure* m_pClosure;
};

// A counted fire-and-forget closure with room for its payload in front of it.
template <class FunctorT>
class InvokerClosure final : public RefCountImpl<FireAndForgetAsyncClosure<FunctorT>> {
public:
    // [back pointer][InlineClosureData] precede the closure object.
    static constexpr size_t kPrefix = 32;
    static_assert(sizeof(AsyncClosure*) + sizeof(InlineClosureData) <= kPrefix, "payload fits in front");
    static_assert(kPrefix % alignof(std::max_align_t) == 0, "closure stays aligned");

    template <class F>
    explicit InvokerClosure(F&& functor) : RefCountImpl<FireAndForgetAsyncClosure<FunctorT>>(std::forward<F>(functor)) {}

    static void* operator new(size_t size) { return static_cast<char*>(::operator new(size + kPrefix)) + kPrefix; }
    static void operator delete(void* closure) noexcept { ::operator delete(static_cast<char*>(closure) - kPrefix); }

    // Builds the payload (taking one reference); called once per closure.
    static MessageData* MakePayload(AsyncClosure* base) {
        InvokerClosure* self = static_cast<InvokerClosure*>(base);
        char* prefix = reinterpret_cast<char*>(self) - kPrefix;
        std::memcpy(prefix, &base, sizeof base);
        return new (prefix + sizeof(AsyncClosure*)) InlineClosureData(base);
    }
};

}  // namespace internal

// Runs the functor on `thread` and returns its result; on the calling thread itself it runs
// at once. When the thread is quitting the functor does not run and R's zero value is
// returned.
template <class ReturnT, class FunctorT>
ReturnT Invoke(Thread* thread, const FunctorT& functor) {
    FunctorMessageHandler<ReturnT, FunctorT> handler(functor);
    thread->Send(&handler);
    return handler.MoveResult();
}

// Queues functors to run later on other threads (never inside the call, even on the target
// itself). Closures not yet run when the invoker is destroyed are freed unrun.
// Threads: AsyncInvoke from any thread; destroy it once no other thread still invokes
// through it.
class AsyncInvoker : public MessageHandler {
public:
    AsyncInvoker() = default;
    ~AsyncInvoker() override;

    sigslot::signal0<sigslot::single_threaded> invoker_destroyed;

    // A temporary functor (as Bind returns) is moved into the closure, not copied.
    template <class ReturnT = void, class FunctorT>
    void AsyncInvoke(Thread* thread, FunctorT&& functor, uint32_t id = 0) {
        using Closure = internal::InvokerClosure<std::decay_t<FunctorT>>;
        AsyncClosure* closure = new Closure(std::forward<FunctorT>(functor));
        DoInvoke(thread, closure, &Closure::MakePayload, id);
    }

    void OnMessage(Message* msg) override;

private:
    void DoInvoke(Thread* thread, AsyncClosure* closure, MessageData* (*make_payload)(AsyncClosure*), uint32_t id);

    std::atomic<bool> m_bDestroying{false};
};

template <class FunctorT>
void AsyncInvoke(AsyncInvoker* invoker, Thread* thread, FunctorT&& functor, uint32_t id = 0) {
    invoker->AsyncInvoke<void>(thread, std::forward<FunctorT>(functor), id);
}

}  // namespace mtp
