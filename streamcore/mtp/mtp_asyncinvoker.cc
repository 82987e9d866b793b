#include "mtp/asyncinvoker.h"
#include "mtp/logging.h"

namespace mtp {

AsyncInvoker::~AsyncInvoker() {
    m_bDestroying.store(true);
    invoker_destroyed.emit();
    // Destroying the payloads releases the closures that never ran, with their arguments.
    QueueRegistry::ClearForHandler(this);
}

void AsyncInvoker::DoInvoke(Thread* thread, AsyncClosure* closure, MessageData* (*make_payload)(AsyncClosure*),
                            uint32_t id) {
    if (m_bDestroying.load()) {
        MTP_LOG(LS_WARNING) << "Tried to invoke while destroying the invoker.";
        delete closure;
        return;
    }
    // The payload now holds the only reference.
    thread->Post(this, id, make_payload(closure));
}

void AsyncInvoker::OnMessage(Message* msg) {
    auto* data = static_cast<internal::InlineClosureData*>(msg->data);
    AsyncClosure* closure = data->closure();
    closure->AddRef();
    delete data;
    msg->data = nullptr;
    closure->Execute();
    closure->Release();
}

}  // namespace mtp
