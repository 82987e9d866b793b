#include "frame_geometry.h"

#include <algorithm>

namespace mediatap {

Rect Intersect(const Rect& a, const Rect& b) {
    const int64_t x0 = std::max(a.x, b.x), y0 = std::max(a.y, b.y);
    const int64_t x1 = std::min<int64_t>(static_cast<int64_t>(a.x) + a.w, static_cast<int64_t>(b.x) + b.w);
    const int64_t y1 = std::min<int64_t>(static_cast<int64_t>(a.y) + a.h, static_cast<int64_t>(b.y) + b.h);
    if (a.Empty() || b.Empty() || x1 <= x0 || y1 <= y0) return Rect{};
    return Rect{static_cast<int>(x0), static_cast<int>(y0), static_cast<int>(x1 - x0), static_cast<int>(y1 - y0)};
}

void RowSpan::Add(const RowSpan& other) {
    if (other.Empty()) return;
    if (Empty()) {
        *this = other;
        return;
    }
    top = std::min(top, other.top);
    bottom = std::max(bottom, other.bottom);
}

RowSpan RowSpan::Clip(int height) const {
    RowSpan r{std::max(top, 0), std::min(bottom, height)};
    return r.Empty() ? RowSpan{} : r;
}

bool RowSpan::Meets(const RowSpan& other) const {
    return !Empty() && !other.Empty() && top < other.bottom && other.top < bottom;
}

RowSpan DamagedRows(const Rect* drawn, int count, const Rect& capture) {
    RowSpan rows;
    for (int i = 0; i < count; ++i) {
        Rect r = Intersect(drawn[i], capture);
        if (!r.Empty()) rows.Add(RowSpan{r.y - capture.y, r.y - capture.y + r.h});
    }
    return rows;
}

RowSpan RowsWithPointer(RowSpan damaged, const Rect& drawnBefore, const Rect& drawNow, bool shapeChanged,
                        int height) {
    RowSpan rows = damaged;
    if (shapeChanged || !(drawnBefore == drawNow)) {
        rows.Add(RowsOf(drawnBefore));
        rows.Add(RowsOf(drawNow));
    }
    if (rows.Meets(RowsOf(drawNow))) rows.Add(RowsOf(drawNow));
    return rows.Clip(height);
}

RowSpan ScaledRows(RowSpan src, int srcH, int dstH) {
    if (src.Empty() || srcH <= 0 || dstH <= 0) return RowSpan{};
    // Output row d samples the source near (d + 0.5) * srcH / dstH; the filter reads one
    // source row beyond that on each side, and rounding moves it by an output row or two.
    int64_t top = static_cast<int64_t>(src.top - 1) * dstH / srcH - 2;
    int64_t bottom = (static_cast<int64_t>(src.bottom + 1) * dstH + srcH - 1) / srcH + 2;
    top = std::max<int64_t>(0, top) & ~int64_t{1};
    bottom = std::min<int64_t>(dstH, (bottom + 1) & ~int64_t{1});
    return RowSpan{static_cast<int>(top), static_cast<int>(bottom)};
}

Rect FitInside(int srcW, int srcH, int outW, int outH) {
    Rect r;
    if (srcW <= 0 || srcH <= 0 || outW <= 0 || outH <= 0) return r;
    int64_t w = outW;
    int64_t h = (static_cast<int64_t>(srcH) * outW + srcW / 2) / srcW;
    if (h > outH) {
        h = outH;
        w = (static_cast<int64_t>(srcW) * outH + srcH / 2) / srcH;
    }
    r.w = std::max<int>(2, static_cast<int>(w) & ~1);
    r.h = std::max<int>(2, static_cast<int>(h) & ~1);
    r.w = std::min(r.w, outW & ~1);
    r.h = std::min(r.h, outH & ~1);
    r.x = ((outW - r.w) / 2) & ~1;
    r.y = ((outH - r.h) / 2) & ~1;
    return r;
}

Rect ClipCaptureRect(const Rect& asked, int winW, int winH) {
    Rect whole{0, 0, std::max(0, winW), std::max(0, winH)};
    if (asked.x == 0 && asked.y == 0 && asked.w == 0 && asked.h == 0) return whole;
    int x0 = std::max(asked.x, 0);
    int y0 = std::max(asked.y, 0);
    int64_t x1 = std::min<int64_t>(static_cast<int64_t>(asked.x) + asked.w, whole.w);
    int64_t y1 = std::min<int64_t>(static_cast<int64_t>(asked.y) + asked.h, whole.h);
    Rect r;
    if (x1 <= x0 || y1 <= y0) return r;
    r.x = x0;
    r.y = y0;
    r.w = static_cast<int>(x1 - x0);
    r.h = static_cast<int>(y1 - y0);
    return r;
}

int64_t FramePacer::Advance(int64_t nowUs) {
    ++m_index;
    int64_t skipped = 0;
    // Too far behind to catch up: resume at the frame due now.
    if (nowUs > DeadlineOf(m_index) + kMaxCatchUpUs) {
        int64_t due = (nowUs - m_startUs) * m_fps / 1000000;
        skipped = due - m_index;
        m_index = due;
    }
    return skipped;
}

void BlendCursor(uint8_t* bgra, int stride, int width, int height, const uint32_t* cursor,
                 int cursorW, int cursorH, int cx, int cy) {
    if (!bgra || !cursor) return;
    int x0 = std::max(0, cx), y0 = std::max(0, cy);
    int x1 = std::min(width, cx + cursorW), y1 = std::min(height, cy + cursorH);
    for (int y = y0; y < y1; ++y) {
        const uint32_t* src = cursor + static_cast<int64_t>(y - cy) * cursorW;
        uint8_t* row = bgra + static_cast<int64_t>(y) * stride;
        for (int x = x0; x < x1; ++x) {
            uint32_t p = src[x - cx];
            unsigned a = p >> 24;
            if (!a) continue;
            uint8_t* d = row + 4 * x;
            unsigned inv = 255 - a;
            // Premultiplied: dst = src + dst * (1 - alpha).
            d[0] = static_cast<uint8_t>(std::min(255u, (p & 0xFF) + (d[0] * inv + 127) / 255));
            d[1] = static_cast<uint8_t>(std::min(255u, ((p >> 8) & 0xFF) + (d[1] * inv + 127) / 255));
            d[2] = static_cast<uint8_t>(std::min(255u, ((p >> 16) & 0xFF) + (d[2] * inv + 127) / 255));
        }
    }
}

}  // namespace mediatap
