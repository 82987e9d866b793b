// Cameras and their preview windows. Cameras live in the camera plug-in, which the engine
// loads by file name; without it there are no cameras and every camera call fails.
//
// A camera's uniName is its unique id in the plug-in's list. OpenCamera starts the camera
// and an encoding channel at the size and rate asked for, with encoding off: the source
// then behaves like an application capture (StartEncodeVideo turns encoding on at the size
// it was opened with, StopEncodeVideo pauses it) until CloseCamera. Preview windows show a
// camera's frames as it delivers them, and an application capture's pictures, through the
// plug-in's renderer; closing the source removes them.
#include "camera_source.h"
#include "mediatap_engine.h"

#include "common/slogger.h"

#include <algorithm>
#include <cstring>

namespace mediatap {
namespace {

enum : int {
    kMinBitrateKbps = 100,
    kMaxBitrateKbps = 8000,
};

bool CopyName(char* out, const std::string& text) {
    if (!out) return false;
    const size_t n = std::min<size_t>(text.size(), kUniNameSize - 1);
    std::memcpy(out, text.data(), n);
    out[n] = 0;
    return n == text.size();
}

// About one bit per 10 pixels of every frame: 640 x 480 at 30 fps gives 921 kbit/s.
int CameraBitrateKbps(int width, int height, int fps) {
    const long long kbps = static_cast<long long>(width) * height * fps / 10000;
    return static_cast<int>(std::min<long long>(kMaxBitrateKbps, std::max<long long>(kMinBitrateKbps, kbps)));
}

}  // namespace

int CMediaTap::GetCameraCount() { return m_camPort.CameraCount(); }

int CMediaTap::GetCameraNames(int index, char* name, char* uniName) {
    if (!name || !uniName) return -1;
    name[0] = 0;
    uniName[0] = 0;
    std::string display, id;
    if (!m_camPort.CameraAt(index, &display, &id)) return -1;
    CopyName(name, display);
    if (!CopyName(uniName, id)) {
        name[0] = 0;
        uniName[0] = 0;
        return -1;
    }
    return 0;
}

int CMediaTap::OpenCamera(const char* uniName, int a, int b, int c) {
    int width = a, height = b;
    const int fps = c;
    if (!uniName || !uniName[0] || std::strlen(uniName) >= kUniNameSize || width < kMinSide || height < kMinSide ||
        width > kMaxSide || height > kMaxSide || fps < 1 || fps > kMaxFps) {
        OV_LOG("OpenCamera %s: bad arguments (%dx%d at %d fps)", uniName ? uniName : "(null)", a, b, c);
        return -1;
    }
    width &= ~1;
    height &= ~1;
    if (std::shared_ptr<LocalVideoSource> open = FindVideo(uniName)) {
        std::lock_guard<std::mutex> lock(open->lock);
        if (open->kind == LocalVideoSource::Kind::kCamera && open->width == width && open->height == height) {
            OV_LOG("OpenCamera %s: already open at %dx%d", uniName, width, height);
            return 0;
        }
        OV_LOG("OpenCamera %s (%dx%d): already open at %dx%d; close it first", uniName, width, height, open->width,
               open->height);
        return -1;
    }
    if (!m_camPort.Load() || !m_camPort.HasCamera(uniName)) {
        OV_LOG("OpenCamera %s (%d, %d, %d): no such camera", uniName, a, b, c);
        return -1;
    }
    std::string error;
    auto preview = std::make_shared<PreviewWindows>();
    std::unique_ptr<CameraDevice> device =
        CameraDevice::Open(m_camPort.CaptureApi(), uniName, width, height, fps, &error, preview);
    if (!device) {
        OV_LOG("OpenCamera %s (%dx%d at %d fps): %s", uniName, width, height, fps, error.c_str());
        return -1;
    }

    auto source = std::make_shared<LocalVideoSource>();
    source->kind = LocalVideoSource::Kind::kCamera;
    source->uniName = uniName;
    source->preview = preview;
    NewUniName("camera", 0, &source->sourceId);  // only the source id is used
    source->width = width;
    source->height = height;

    ChannelSettings settings;
    settings.uniName = source->uniName;
    settings.encoder = EncoderConfig{width, height, fps, CameraBitrateKbps(width, height, fps)};
    settings.sourceId = source->sourceId;
    settings.startEncoding = false;
    auto producer = std::make_unique<CameraProducer>(std::move(device), "camera " + source->uniName);

    std::lock_guard<std::mutex> sourceLock(source->lock);
    if (!m_videoSources.Add(source->uniName, source)) {
        // Opened by another call meanwhile; this device closes again with the producer.
        OV_LOG("OpenCamera %s: opened twice at the same time", uniName);
        return -1;
    }
    source->channel = std::make_unique<VideoChannel>(settings, std::move(producer), m_lpSink);
    if (!source->channel->Start(&error)) {
        OV_LOG("OpenCamera %s: %s", uniName, error.c_str());
        m_videoSources.Remove(source->uniName);
        source->channel.reset();
        return -1;
    }
    OV_LOG("OpenCamera %s: %dx%d at %d fps, %d kbit/s", uniName, width, height, fps, settings.encoder.bitrateKbps);
    return 0;
}

int CMediaTap::CloseCamera(const char* uniName) {
    return EndCapture(uniName, LocalVideoSource::Kind::kCamera, "CloseCamera");
}

std::shared_ptr<PreviewWindows> CMediaTap::PreviewOf(const char* uniName) {
    std::shared_ptr<LocalVideoSource> source = FindVideo(uniName);
    if (!source || source->kind == LocalVideoSource::Kind::kPicture) return nullptr;
    return source->preview;
}

int CMediaTap::AddVideoWindow(const char* uniName, OvHwnd window) {
    std::shared_ptr<PreviewWindows> preview = PreviewOf(uniName);
    if (!preview) {
        OV_LOG("AddVideoWindow %s: no camera or application capture of that name", uniName ? uniName : "(null)");
        return -1;
    }
    return preview->Add(m_camPort.RenderApi(), window, uniName);
}

int CMediaTap::RemoveVideoWindow(const char* uniName, OvHwnd window) {
    std::shared_ptr<PreviewWindows> preview = PreviewOf(uniName);
    if (!preview || preview->Remove(window) != 0) return -1;
    OV_LOG("RemoveVideoWindow %s: window 0x%lx", uniName, static_cast<unsigned long>(window));
    return 0;
}

int CMediaTap::RemoveAllVideoWindows(const char* uniName) {
    std::shared_ptr<PreviewWindows> preview = PreviewOf(uniName);
    if (!preview) return -1;
    const int removed = preview->RemoveAll();
    OV_LOG("RemoveAllVideoWindows %s: %d windows", uniName, removed);
    return 0;
}

}  // namespace mediatap
