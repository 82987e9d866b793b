// The video half of the engine: application (window and desktop) capture, picture sources
// and their encoding, plus the factory functions.
#include "mediatap_engine.h"
#include "remote_channel.h"

#include "common/slogger.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>

namespace mediatap {
namespace {

enum : int {
    kMaxBitrateKbps = 100000,
    // A still picture changes seldom: a few frames a second keep a stream alive and let a
    // new picture show within a fraction of a second.
    kPictureFps = 5,
};

// Output sizes are made even (I420 needs that); false when out of range.
bool NormaliseSize(int* width, int* height) {
    if (*width < kMinSide || *height < kMinSide || *width > kMaxSide || *height > kMaxSide) return false;
    *width &= ~1;
    *height &= ~1;
    return true;
}

// Bitrate for a picture source: about one bit per pixel and second at kPictureFps.
int PictureBitrateKbps(int width, int height) { return std::max(100, width * height / 1000); }

bool CopyUniName(char* out, const std::string& name) {
    if (!out || name.size() >= kUniNameSize) return false;
    std::memcpy(out, name.c_str(), name.size() + 1);
    return true;
}

}  // namespace

CMediaTap::CMediaTap(IMediaTapSink* sink, int sinkFlags) : m_lpSink(sink), m_nSinkFlags(sinkFlags) {
    std::random_device random;
    m_sourceIdBase = random();
    // Remote video draws through the camera plug-in's renderer (m_camPort outlives m_remote).
    m_remote->SetWindowOpener([this](OvHwnd window) {
        std::string error;
        std::unique_ptr<WindowRenderer> renderer = WindowRenderer::Open(m_camPort.RenderApi(), window, &error);
        if (!renderer) OV_LOG("remote video window 0x%lx: %s", static_cast<unsigned long>(window), error.c_str());
        return renderer;
    });
    OV_LOG("CMediaTap created");
}

CMediaTap::~CMediaTap() {
    // The mixer calls the sink from its own thread: it ends before anything else goes.
    ReleaseAudioHalf(this);
    for (auto& entry : m_videoSources.TakeAll()) {
        std::lock_guard<std::mutex> lock(entry.second->lock);
        entry.second->channel.reset();
        entry.second->preview->RemoveAll();
    }
    m_retired.clear();  // their threads have been asked to end; this joins them
    OV_LOG("CMediaTap destroyed");
}

void CMediaTap::Retire(std::unique_ptr<VideoChannel> channel) {
    if (!channel) return;
    std::vector<std::unique_ptr<VideoChannel>> done;
    if (channel->OnOwnThread()) {
        channel->Stop();
        std::lock_guard<std::mutex> lock(m_sourcesLock);
        m_retired.push_back(std::move(channel));
        return;
    }
    channel.reset();
    {
        // Channels retired earlier from their own threads have ended by now or are about to.
        std::lock_guard<std::mutex> lock(m_sourcesLock);
        for (auto it = m_retired.begin(); it != m_retired.end();) {
            if (!(*it)->OnOwnThread()) {
                done.push_back(std::move(*it));
                it = m_retired.erase(it);
            } else {
                ++it;
            }
        }
    }
    done.clear();
}

std::string CMediaTap::NewUniName(const char* prefix, OvHwnd window, uint32_t* sourceId) {
    char name[kUniNameSize];
    uint32_t n;
    {
        std::lock_guard<std::mutex> lock(m_sourcesLock);
        n = ++m_nextSource;
    }
    *sourceId = m_sourceIdBase + n;
    if (window)
        std::snprintf(name, sizeof name, "#%s#%u#0x%lx", prefix, n, static_cast<unsigned long>(window));
    else
        std::snprintf(name, sizeof name, "#%s#%u", prefix, n);
    return name;
}

std::shared_ptr<LocalVideoSource> CMediaTap::FindVideo(const char* uniName) {
    return uniName ? m_videoSources.Find(uniName) : nullptr;
}

std::shared_ptr<LocalVideoSource> CMediaTap::TakeVideo(const char* uniName, LocalVideoSource::Kind kind) {
    if (!uniName) return nullptr;
    return m_videoSources.RemoveIf(uniName,
                                   [kind](const std::shared_ptr<LocalVideoSource>& s) { return s->kind == kind; });
}

int CMediaTap::StartCaptureApplication(char* uniNameOut, OvHwnd window, bool flag, int x, int y, int w, int h,
                                       int bitrateKbps, int outWidth, int outHeight, int fps) {
    if (!uniNameOut || fps < 1 || fps > kMaxFps || bitrateKbps < 1 || bitrateKbps > kMaxBitrateKbps ||
        x < 0 || y < 0 || w < 0 || h < 0 || ((x || y || w || h) && (w == 0 || h == 0))) {
        OV_LOG("StartCaptureApplication: bad arguments (window 0x%lx, rect %d,%d %dx%d, %d kbit/s, %dx%d, %d fps)",
               static_cast<unsigned long>(window), x, y, w, h, bitrateKbps, outWidth, outHeight, fps);
        return -1;
    }
    std::string error;
    std::unique_ptr<IWindowGrabber> grabber = CreateX11WindowGrabber(window, flag, &error);
    if (!grabber) {
        OV_LOG("StartCaptureApplication: window 0x%lx: %s", static_cast<unsigned long>(window), error.c_str());
        return -1;
    }
    Rect rect{x, y, w, h};
    if (outWidth == 0 && outHeight == 0) {
        // No size asked: the capture rectangle's size as it is now.
        int winW = 0, winH = 0;
        grabber->Size(&winW, &winH);
        Rect clipped = ClipCaptureRect(rect, winW, winH);
        outWidth = clipped.w;
        outHeight = clipped.h;
    }
    if (!NormaliseSize(&outWidth, &outHeight)) {
        OV_LOG("StartCaptureApplication: bad output size %dx%d", outWidth, outHeight);
        return -1;
    }

    auto source = std::make_shared<LocalVideoSource>();
    source->kind = LocalVideoSource::Kind::kApplication;
    source->uniName = NewUniName("app", window, &source->sourceId);
    source->width = outWidth;
    source->height = outHeight;
    std::string description = grabber->Describe();

    ChannelSettings settings;
    settings.uniName = source->uniName;
    settings.encoder = EncoderConfig{outWidth, outHeight, fps, bitrateKbps};
    settings.sourceId = source->sourceId;
    settings.startEncoding = true;
    settings.preview = source->preview;
    settings.reportEnd = (m_nSinkFlags & MEDIATAP_SINK_SOURCE_ENDED) != 0;
    auto producer = std::make_unique<WindowProducer>(std::move(grabber), rect);
    // The name is handed out and the source registered before its thread starts, so a sink
    // callback of the very first frame can already use it.
    if (!CopyUniName(uniNameOut, source->uniName)) return -1;
    std::lock_guard<std::mutex> sourceLock(source->lock);
    m_videoSources.Set(source->uniName, source);
    source->channel = std::make_unique<VideoChannel>(settings, std::move(producer), m_lpSink);
    if (!source->channel->Start(&error)) {
        OV_LOG("StartCaptureApplication: %s", error.c_str());
        m_videoSources.Remove(source->uniName);
        uniNameOut[0] = 0;
        return -1;
    }
    OV_LOG("StartCaptureApplication %s: %s, rect %d,%d %dx%d, %dx%d at %d fps, %d kbit/s%s",
           source->uniName.c_str(), description.c_str(), x, y, w, h, outWidth, outHeight, fps, bitrateKbps,
           flag ? ", with pointer" : "");
    return 0;
}

int CMediaTap::StopCaptureApplication(const char* uniName) {
    return EndCapture(uniName, LocalVideoSource::Kind::kApplication, "StopCaptureApplication");
}

int CMediaTap::EndCapture(const char* uniName, LocalVideoSource::Kind kind, const char* call) {
    std::shared_ptr<LocalVideoSource> source = TakeVideo(uniName, kind);
    if (!source) return -1;
    std::lock_guard<std::mutex> lock(source->lock);
    uint64_t frames = source->channel ? source->channel->FramesSent() : 0;
    Retire(std::move(source->channel));
    const int windows = source->preview->RemoveAll();
    OV_LOG("%s %s after %llu frames (%d preview windows removed)", call, source->uniName.c_str(),
           static_cast<unsigned long long>(frames), windows);
    return 0;
}

int CMediaTap::StartCapturePicture(char* uniNameOut) {
    if (!uniNameOut) return -1;
    auto source = std::make_shared<LocalVideoSource>();
    source->kind = LocalVideoSource::Kind::kPicture;
    source->uniName = NewUniName("picture", 0, &source->sourceId);
    source->picture = std::make_shared<PictureStore>();
    if (!CopyUniName(uniNameOut, source->uniName)) return -1;
    m_videoSources.Set(source->uniName, source);
    OV_LOG("StartCapturePicture %s", source->uniName.c_str());
    return 0;
}

int CMediaTap::StopCapturePicture(const char* uniName) {
    std::shared_ptr<LocalVideoSource> source = TakeVideo(uniName, LocalVideoSource::Kind::kPicture);
    if (!source) return -1;
    std::lock_guard<std::mutex> lock(source->lock);
    Retire(std::move(source->channel));
    OV_LOG("StopCapturePicture %s", source->uniName.c_str());
    return 0;
}

int CMediaTap::SetCapturePicture(const char* uniName, const unsigned char* data, int width, int height, int format) {
    std::shared_ptr<LocalVideoSource> source = FindVideo(uniName);
    if (!source || source->kind != LocalVideoSource::Kind::kPicture) return -1;
    if (!source->picture->Set(data, width, height, format)) {
        OV_LOG("SetCapturePicture %s: bad picture (%dx%d, format %d)", source->uniName.c_str(), width, height, format);
        return -1;
    }
    return 0;
}

int CMediaTap::PrepareVideoPublish(const char* uniName) {
    std::shared_ptr<LocalVideoSource> source = FindVideo(uniName);
    if (!source) return -1;
    // A new receiver needs a key frame to start on.
    std::lock_guard<std::mutex> lock(source->lock);
    if (source->channel) source->channel->ForceKeyFrame();
    return 0;
}

int CMediaTap::StartEncodeVideo(const char* uniName, int width, int height) {
    std::shared_ptr<LocalVideoSource> source = FindVideo(uniName);
    if (!source) return -1;
    std::lock_guard<std::mutex> lock(source->lock);
    if (source->kind != LocalVideoSource::Kind::kPicture) {
        // Application and camera captures keep the size they were started with.
        if (!source->channel || source->channel->Ended()) return -1;
        source->channel->SetEncoding(true);
        return 0;
    }
    if (source->channel && source->channel->IsEncoding()) return 0;
    if (!NormaliseSize(&width, &height)) {
        OV_LOG("StartEncodeVideo %s: bad size %dx%d", source->uniName.c_str(), width, height);
        return -1;
    }
    ChannelSettings settings;
    settings.uniName = source->uniName;
    settings.encoder = EncoderConfig{width, height, kPictureFps, PictureBitrateKbps(width, height)};
    settings.sourceId = source->sourceId;
    settings.startEncoding = true;
    Retire(std::move(source->channel));
    auto channel = std::make_unique<VideoChannel>(settings, std::make_unique<PictureProducer>(source->picture),
                                                  m_lpSink);
    std::string error;
    if (!channel->Start(&error)) {
        OV_LOG("StartEncodeVideo %s: %s", source->uniName.c_str(), error.c_str());
        return -1;
    }
    source->channel = std::move(channel);
    source->width = width;
    source->height = height;
    OV_LOG("StartEncodeVideo %s: %dx%d at %d fps", source->uniName.c_str(), width, height, kPictureFps);
    return 0;
}

int CMediaTap::StopEncodeVideo(const char* uniName) {
    std::shared_ptr<LocalVideoSource> source = FindVideo(uniName);
    if (!source) return -1;
    std::lock_guard<std::mutex> lock(source->lock);
    if (source->kind != LocalVideoSource::Kind::kPicture) {
        if (source->channel) source->channel->SetEncoding(false);
    } else {
        // A picture source's next StartEncodeVideo may ask for another size.
        Retire(std::move(source->channel));
    }
    return 0;
}

bool CMediaTap::IsVideoEncoding(const char* uniName) {
    std::shared_ptr<LocalVideoSource> source = FindVideo(uniName);
    if (!source) return false;
    std::lock_guard<std::mutex> lock(source->lock);
    return source->channel && source->channel->IsEncoding();
}

int CMediaTap::ForceKeyFrame(const char* uniName) {
    std::shared_ptr<LocalVideoSource> source = FindVideo(uniName);
    if (!source) return -1;
    std::lock_guard<std::mutex> lock(source->lock);
    if (!source->channel || !source->channel->IsEncoding()) return -1;
    source->channel->ForceKeyFrame();
    return 0;
}

int CMediaTap::SetVideoBitrate(const char* uniName, int kbps) {
    std::shared_ptr<LocalVideoSource> source = FindVideo(uniName);
    if (!source) return -1;
    std::lock_guard<std::mutex> lock(source->lock);
    if (!source->channel || source->channel->Ended()) return -1;
    if (kbps > 0) source->channel->SetBitrate(kbps);
    return source->channel->StartBitrate();
}

int CMediaTap::GetVideoParamA(const char* uniName) {
    std::shared_ptr<LocalVideoSource> source = FindVideo(uniName);
    if (!source) return -1;
    std::lock_guard<std::mutex> lock(source->lock);
    return source->width;
}

int CMediaTap::GetVideoParamB(const char* uniName) {
    std::shared_ptr<LocalVideoSource> source = FindVideo(uniName);
    if (!source) return -1;
    std::lock_guard<std::mutex> lock(source->lock);
    return source->height;
}

}  // namespace mediatap

extern "C" {

IMediaTap* CreateMediaTap(IMediaTapSink* sink, int flags) {
    if (!sink) return nullptr;
    try {
        return new mediatap::CMediaTap(sink, flags);
    } catch (...) {
        return nullptr;
    }
}

void DestoryMediaTap(IMediaTap* engine) { delete static_cast<mediatap::CMediaTap*>(engine); }

int MediaTapSlotCount(void) { return MEDIATAP_SLOT_COUNT; }

}  // extern "C"
