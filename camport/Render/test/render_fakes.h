// Test doubles for the renderer: a drawing layer that records what it is asked to do, and an
// engine window object.
#pragma once

#include "Render/draw_layer.h"
#include "camport/IVideoRenderer.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

namespace rendertest {

using namespace Orvane::render;

struct BlitRecord {
    int device;          // which device (in creation order)
    SurfaceFormat format;
    int srcWidth, srcHeight;
    Rect dst;
};

struct FakeState {
    std::mutex mutex;
    std::map<WindowHandle, WindowInfo> windows;
    bool reachable = true;
    bool capsOk = true;
    DeviceCaps caps;
    bool rejectYv12 = false;
    std::vector<BlitRecord> blits;
    std::vector<std::pair<int, int>> offscreens;  // sizes of frame surfaces made (not 4x4)
    int devices = 0;
    int liveDevices = 0;
    int paints = 0;
    DrawResult nextBlit = DrawResult::kOk;  // answered once by the next blit
    std::function<void()> onBlit;           // runs (unlocked) inside every blit
    std::vector<uint8_t> lastOffscreen;     // content of the last frame surface at blit time
    SurfaceFormat lastFormat = SurfaceFormat::kRGB32;
    int lastPitch = 0;
};

class FakeSurface : public IDrawSurface {
public:
    FakeSurface(int w, int h, SurfaceFormat f) : m_w(w), m_h(h), m_f(f) {
        m_pitch = f == SurfaceFormat::kYV12 ? ((w + 15) & ~15) : w * 4;
        m_bits.assign(f == SurfaceFormat::kYV12 ? m_pitch * h + 2 * (m_pitch / 2) * ((h + 1) / 2) : m_pitch * h,
                      0xEE);
    }
    SurfaceFormat Format() const override { return m_f; }
    int Width() const override { return m_w; }
    int Height() const override { return m_h; }
    DrawResult Lock(LockedSurface* out) override {
        *out = LockedSurface{m_bits.data(), m_pitch, m_w, m_h};
        return DrawResult::kOk;
    }
    void Unlock() override {}
    DrawResult FillBlack(bool yuv) override {
        if (m_f == SurfaceFormat::kYV12 && yuv) {
            std::fill(m_bits.begin(), m_bits.begin() + m_pitch * m_h, 0);
            std::fill(m_bits.begin() + m_pitch * m_h, m_bits.end(), 128);
        } else {
            std::fill(m_bits.begin(), m_bits.end(), 0);
        }
        return DrawResult::kOk;
    }
    std::vector<uint8_t> m_bits;
    int m_pitch;

private:
    int m_w, m_h;
    SurfaceFormat m_f;
};

class FakeDevice : public IDrawDevice {
public:
    FakeDevice(FakeState& s, int id) : m_s(s), m_id(id) {}
    ~FakeDevice() override {
        std::lock_guard<std::mutex> lock(m_s.mutex);
        --m_s.liveDevices;
    }
    DrawResult CreatePrimary(WindowHandle window, uint32_t) override {
        std::lock_guard<std::mutex> lock(m_s.mutex);
        return m_s.windows.count(window) && m_s.windows[window].exists ? DrawResult::kOk : DrawResult::kFailed;
    }
    DrawResult CreateOffscreen(int w, int h, SurfaceFormat f, uint32_t, std::unique_ptr<IDrawSurface>* out) override {
        std::lock_guard<std::mutex> lock(m_s.mutex);
        if (f == SurfaceFormat::kYV12 && m_s.rejectYv12) return DrawResult::kInvalidPixelFormat;
        if (w != 4 || h != 4) m_s.offscreens.emplace_back(w, h);
        out->reset(new FakeSurface(w, h, f));
        return DrawResult::kOk;
    }
    DrawResult Blit(IDrawSurface& src, const Rect& dst) override {
        std::function<void()> hook;
        {
            std::lock_guard<std::mutex> lock(m_s.mutex);
            hook = m_s.onBlit;
        }
        if (hook) hook();
        std::lock_guard<std::mutex> lock(m_s.mutex);
        const DrawResult r = m_s.nextBlit;
        m_s.nextBlit = DrawResult::kOk;
        if (r != DrawResult::kOk) return r;
        m_s.blits.push_back(BlitRecord{m_id, src.Format(), src.Width(), src.Height(), dst});
        if (src.Width() != 4) {
            auto& fs = static_cast<FakeSurface&>(src);
            m_s.lastOffscreen = fs.m_bits;
            m_s.lastFormat = src.Format();
            m_s.lastPitch = fs.m_pitch;
        }
        return DrawResult::kOk;
    }
    DrawResult ColorFill(const Rect&, uint32_t) override { return DrawResult::kOk; }
    void PostPaint() override {
        std::lock_guard<std::mutex> lock(m_s.mutex);
        ++m_s.paints;
    }

private:
    FakeState& m_s;
    int m_id;
};

class FakeLayer : public IDrawLayer {
public:
    std::unique_ptr<IDrawDevice> CreateDevice() override {
        std::lock_guard<std::mutex> lock(state.mutex);
        if (!state.reachable) return nullptr;
        ++state.liveDevices;
        return std::unique_ptr<IDrawDevice>(new FakeDevice(state, state.devices++));
    }
    bool GetCaps(IDrawDevice&, DeviceCaps* caps) override {
        std::lock_guard<std::mutex> lock(state.mutex);
        *caps = state.caps;
        return state.capsOk;
    }
    WindowInfo QueryWindow(WindowHandle window) override {
        std::lock_guard<std::mutex> lock(state.mutex);
        auto it = state.windows.find(window);
        return it == state.windows.end() ? WindowInfo{} : it->second;
    }
    void SetWindow(WindowHandle h, int w, int hh, bool visible = true) {
        std::lock_guard<std::mutex> lock(state.mutex);
        state.windows[h] = WindowInfo{true, visible, w, hh};
    }
    std::vector<BlitRecord> TakeBlits() {
        std::lock_guard<std::mutex> lock(state.mutex);
        auto out = std::move(state.blits);
        state.blits.clear();
        return out;
    }
    FakeState state;
};

// The engine's window object.
class TestWindow final : public Orvane::EngineVideoWindow {
public:
    TestWindow(unsigned long handle, bool selfDrawn, int mode) : m_handle(handle), m_selfDrawn(selfDrawn), m_mode(mode) {
        m_event.set();  // the window is idle: an installing renderer need not wait
    }
    ~TestWindow() = default;
    void OnConvertedFrame(const Orvane::CapturedFrameInfo* info, const uint8_t* rgb, int length) override {
        std::lock_guard<std::mutex> lock(mutex);
        converted.push_back(*info);
        lastRgb.assign(rgb, rgb + length);
    }
    unsigned long GetHwnd() override { return m_handle; }
    bool IsSelfDrawn() override { return m_selfDrawn; }
    int GetDisplayMode() override { return m_mode.load(); }
    Orvane::RenderRedraw* Redraw() {
        Poco::Mutex::ScopedLock lock(m_mutex);
        return m_pRedraw;
    }

    std::mutex mutex;
    std::vector<Orvane::CapturedFrameInfo> converted;
    std::vector<uint8_t> lastRgb;
    unsigned long m_handle;
    bool m_selfDrawn;
    std::atomic<int> m_mode;
};

inline Orvane::CapturedFrameInfo FrameInfo(int format, int w, int h) {
    Orvane::CapturedFrameInfo info{};
    info.format = format;
    info.width = static_cast<uint16_t>(w);
    info.height = static_cast<uint16_t>(h);
    info.flag1 = 1;
    info.flag2 = 1;
    return info;
}

}  // namespace rendertest
