#include "CaptureFlows.h"

#include <algorithm>

namespace streamaddon {

const char kSoundMixer[] = "#soundcard#mix#mic";

namespace {

bool SameAsk(const CaptureAsk& a, const CaptureAsk& b) {
    return a.window == b.window && a.width == b.width && a.height == b.height && a.kbps == b.kbps &&
           a.fps == b.fps;
}

}  // namespace

std::string CaptureFlows::Acquire(CaptureAsk ask) {
    if (ask.window == 0) ask.window = m_endpoint.DesktopWindow();
    for (Capture& capture : m_captures) {
        if (SameAsk(capture.ask, ask)) {
            ++capture.users;
            return capture.uniName;
        }
    }
    std::string uniName;
    if (!m_endpoint.StartCapture(ask.window, ask.width, ask.height, ask.kbps, ask.fps, &uniName) || uniName.empty())
        return "";
    m_captures.push_back(Capture{uniName, ask, 1});
    return uniName;
}

void CaptureFlows::Release(const std::string& uniName) {
    auto it = std::find_if(m_captures.begin(), m_captures.end(),
                           [&](const Capture& c) { return c.uniName == uniName; });
    if (it == m_captures.end()) return;
    if (--it->users > 0) return;
    m_endpoint.StopCapture(it->uniName);
    m_captures.erase(it);
}

int CaptureFlows::StartRecord(const std::string& file, const CaptureAsk& ask, bool flag) {
    if (m_recordId != -1) return kFlowDone;
    const std::string capture = Acquire(ask);
    if (capture.empty()) return kFlowCaptureFailed;
    const int id = m_endpoint.StartRecord(file, capture, kSoundMixer, flag);
    if (id == -1) {
        Release(capture);
        if (!m_publishing) m_endpoint.StopMixer(kSoundMixer);
        return kFlowRecordFailed;
    }
    m_recordId = id;
    m_recordCapture = capture;
    return kFlowDone;
}

int CaptureFlows::StartPublish(const std::string& url, const CaptureAsk& ask, int mode) {
    if (m_publishing) return kFlowDone;
    const std::string capture = Acquire(ask);
    if (capture.empty()) return kFlowCaptureFailed;
    m_publishUrl = url;
    m_publishing = m_endpoint.Publish(url, capture, kSoundMixer, mode);
    if (!m_publishing) {
        Release(capture);
        if (m_recordId == -1) m_endpoint.StopMixer(kSoundMixer);
        return kFlowPublishFailed;
    }
    m_publishCapture = capture;
    return kFlowDone;
}

bool CaptureFlows::StopRecord() {
    if (m_recordId == -1) return true;
    Release(m_recordCapture);
    m_recordCapture.clear();
    if (!m_publishing) m_endpoint.StopMixer(kSoundMixer);
    const bool result = m_endpoint.StopRecord(m_recordId);
    m_recordId = -1;
    return result;
}

bool CaptureFlows::StopPublish() {
    if (!m_publishing) return true;
    Release(m_publishCapture);
    m_publishCapture.clear();
    if (m_recordId == -1) m_endpoint.StopMixer(kSoundMixer);
    m_endpoint.StopPublish(m_publishUrl);
    m_publishing = false;
    return true;
}

}  // namespace streamaddon
