// LiveMediaEndpoint: local devices, captures and the window list. These run on the host's
// thread and go straight to the engine (or the window-share manager); the engine reports a
// capture that ended by itself from its own thread.
#include "EndpointInternal.h"

#include "EventRecord.h"
#include "WindowListJson.h"

namespace streamcore {

int LiveMediaEndpoint::GetMicphoneCount() { return m_lpMediaTapr ? m_lpMediaTapr->GetMicphoneCount() : 0; }
int LiveMediaEndpoint::GetSpeakerCount() { return m_lpMediaTapr ? m_lpMediaTapr->GetSpeakerCount() : 0; }

bool LiveMediaEndpoint::GetMicphoneNames(int index, char* name, char* uniName) {
    return m_lpMediaTapr && m_lpMediaTapr->GetMicphoneNames(index, name, uniName) == 0;
}

bool LiveMediaEndpoint::GetSpeakerNames(int index, char* name, char* uniName) {
    return m_lpMediaTapr && m_lpMediaTapr->GetSpeakerNames(index, name, uniName) == 0;
}

bool LiveMediaEndpoint::OpenMic(const char* uniName) {
    EP_LOG("OpenMic uniName = %s", uniName ? uniName : "");
    return m_lpMediaTapr && m_lpMediaTapr->OpenMic(uniName) == 0;
}

bool LiveMediaEndpoint::CloseMic() {
    EP_LOG("Close Mic");
    return m_lpMediaTapr && m_lpMediaTapr->CloseMic() == 0;
}

bool LiveMediaEndpoint::OpenSpeaker(const char* uniName) {
    EP_LOG("OpenSpeaker uniName = %s", uniName ? uniName : "");
    return m_lpMediaTapr && m_lpMediaTapr->OpenSpeaker(uniName) == 0;
}

int LiveMediaEndpoint::GetCameraCount() {
    EP_LOG("GetCameraCount");
    return m_lpMediaTapr ? m_lpMediaTapr->GetCameraCount() : 0;
}

bool LiveMediaEndpoint::GetCameraNames(int index, char* name, char* uniName) {
    return m_lpMediaTapr && m_lpMediaTapr->GetCameraNames(index, name, uniName) == 0;
}

bool LiveMediaEndpoint::OpenCamera(const char* uniName, void* window, int a, int b, int c) {
    EP_LOG("OpenCamera uniName = %s", uniName ? uniName : "");
    if (m_lpMediaTapr == nullptr || m_lpMediaTapr->OpenCamera(uniName, a, b, c) != 0) return false;
    if (window != nullptr && m_lpMediaTapr->AddVideoWindow(uniName, ToHwnd(window)) != 0) return false;
    EP_LOG("OpenCamera uniName = %s end", uniName ? uniName : "");
    return true;
}

bool LiveMediaEndpoint::CloseCamera(const char* uniName) {
    EP_LOG("CloseCamera uniName = %s", uniName ? uniName : "");
    return m_lpMediaTapr && m_lpMediaTapr->CloseCamera(uniName) == 0;
}

bool LiveMediaEndpoint::AddVideoWindows(const char* uniName, void* window) {
    EP_LOG("AddVideoWindows uniName = %s", uniName ? uniName : "");
    return m_lpMediaTapr && m_lpMediaTapr->AddVideoWindow(uniName, ToHwnd(window)) == 0;
}

bool LiveMediaEndpoint::RemoveVideoWindows(const char* uniName, void* window) {
    EP_LOG("RemoveVideoWindows uniName = %s", uniName ? uniName : "");
    return m_lpMediaTapr && m_lpMediaTapr->RemoveVideoWindow(uniName, ToHwnd(window)) == 0;
}

bool LiveMediaEndpoint::RemoveAllVideoWindows(const char* uniName) {
    EP_LOG("RemoveAllVideoWindows uniName = %s", uniName ? uniName : "");
    return m_lpMediaTapr && m_lpMediaTapr->RemoveAllVideoWindows(uniName) == 0;
}

bool LiveMediaEndpoint::StartCaptureApplication(void*, bool flag, void* window, int a, int b, int c,
                                                char* uniNameOut, int d) {
    return m_lpMediaTapr &&
           m_lpMediaTapr->StartCaptureApplication(uniNameOut, ToHwnd(window), flag, 0, 0, 0, 0, a, b, c, d) == 0;
}

bool LiveMediaEndpoint::StopCaptureApplication(const char* uniName) {
    return m_lpMediaTapr && m_lpMediaTapr->StopCaptureApplication(uniName) == 0;
}

int LiveMediaEndpoint::OnSourceEnded(const char* uniName, const char* why) {
    const std::string name = uniName ? uniName : "";
    const std::string reason = why ? why : "";
    EP_LOG("source %s ended: %s", name.c_str(), reason.c_str());
    PostResultEvent(EVENT_SOURCE_ENDED, 0, name, reason);
    return 0;
}

bool LiveMediaEndpoint::StartCapturePicture(void*, char* uniName) {
    return m_lpMediaTapr && m_lpMediaTapr->StartCapturePicture(uniName) == 0;
}

bool LiveMediaEndpoint::SetCapturePicture(const char* uniName, unsigned char* data, int, int) {
    // The engine takes the picture, but the result stays false whatever it answers: callers
    // have always treated this form as not confirming the picture.
    if (m_lpMediaTapr) m_lpMediaTapr->SetCapturePicture(uniName, data, 320, 240, 1);
    return false;
}

bool LiveMediaEndpoint::SetCapturePicture(const char*, const char*, int, int) { return true; }

bool LiveMediaEndpoint::StopCatpurePicture(const char* uniName) {
    return m_lpMediaTapr && m_lpMediaTapr->StopCapturePicture(uniName) == 0;
}

void LiveMediaEndpoint::SetMicVolume(int volume) {
    if (m_lpMediaTapr) m_lpMediaTapr->SetMicVolume(volume);
}
int LiveMediaEndpoint::GetMicVolume() { return m_lpMediaTapr ? m_lpMediaTapr->GetMicVolume() : 0; }
void LiveMediaEndpoint::SetSpeakerVolume(int volume) {
    if (m_lpMediaTapr) m_lpMediaTapr->SetSpeakerVolume(volume);
}
int LiveMediaEndpoint::GetSpeakerVolume() { return m_lpMediaTapr ? m_lpMediaTapr->GetSpeakerVolume() : 0; }
void LiveMediaEndpoint::SetAgcStatus(bool on) {
    if (m_lpMediaTapr) m_lpMediaTapr->SetAgcStatus(on);
}
void LiveMediaEndpoint::SetMuteStatus(bool mute) {
    if (m_lpMediaTapr) m_lpMediaTapr->SetMuteStatus(mute);
}
bool LiveMediaEndpoint::GetMuteStatus() {
    bool mute = false;
    if (m_lpMediaTapr) m_lpMediaTapr->GetMuteStatus(&mute);
    return mute;
}
int LiveMediaEndpoint::StartTestMic(const char* uniName) {
    return m_lpMediaTapr ? m_lpMediaTapr->StartTestMic(uniName) : 0;
}
int LiveMediaEndpoint::StopTestMic() { return m_lpMediaTapr ? m_lpMediaTapr->StopTestMic() : 0; }
int LiveMediaEndpoint::StartTestSpeaker(const char* uniName, const char* filePath) {
    if (m_lpMediaTapr == nullptr) return 0;
    std::string path = Str(filePath);  // the engine gets a private copy
    return m_lpMediaTapr->StartTestSpeaker(uniName, path.c_str());
}
int LiveMediaEndpoint::StopTestSpeaker() { return m_lpMediaTapr ? m_lpMediaTapr->StopTestSpeaker() : 0; }
int LiveMediaEndpoint::GetTestMicLevel() { return m_lpMediaTapr ? m_lpMediaTapr->GetTestMicLevel() : 0; }
int LiveMediaEndpoint::GetTestSpkLevel() { return m_lpMediaTapr ? m_lpMediaTapr->GetTestSpkLevel() : 0; }

const char* LiveMediaEndpoint::EnumWindowList() {
    // Without the window-share manager (before Initialize, after UnInitialize) the list is
    // empty rather than an exception out of the library.
    std::vector<WindowListItem> items;
    int count = 0;
    if (auto* list = m_lpPaneShareMgr ? m_lpPaneShareMgr->RefreshWindowList() : nullptr) {
        count = static_cast<int>(list->size());
        for (const WindowProcessInfo* info : *list) {
            if (info == nullptr) continue;
            WindowListItem item;
            item.handle = static_cast<uint64_t>(info->window);
            item.title = info->title;
            item.filePath = info->filePath;
            items.push_back(std::move(item));
        }
    }
    m_windowListJson = BuildWindowListJson(count, items);
    return m_windowListJson.c_str();
}
}  // namespace streamcore
