// Geometry and timing decisions of the capture pipeline: where a captured picture goes in
// the output frame, which part of a window is captured, which rows must be read and
// converted again after a change, when the next frame is due, and how the pointer is drawn
// into a frame. Pure functions; no platform calls.
// Threads: re-entrant; a FramePacer belongs to one thread.
#pragma once

#include <cstdint>

namespace mediatap {

struct Rect {
    int x = 0;
    int y = 0;
    int w = 0;
    int h = 0;
    bool Empty() const { return w <= 0 || h <= 0; }
    bool operator==(const Rect& o) const { return x == o.x && y == o.y && w == o.w && h == o.h; }
};

// The part two rectangles share (empty when they do not meet).
Rect Intersect(const Rect& a, const Rect& b);

// The rows [top, bottom) of a picture.
struct RowSpan {
    int top = 0;
    int bottom = 0;
    bool Empty() const { return bottom <= top; }
    bool operator==(const RowSpan& o) const { return top == o.top && bottom == o.bottom; }
    // Grows the span to cover other too (an empty span adds nothing).
    void Add(const RowSpan& other);
    // The part inside rows [0, height).
    RowSpan Clip(int height) const;
    bool Meets(const RowSpan& other) const;
};
inline RowSpan RowsOf(const Rect& r) { return r.Empty() ? RowSpan{} : RowSpan{r.y, r.y + r.h}; }

// The rows of the capture rectangle (0 at its top) that any of the drawn rectangles touch;
// all rectangles in window coordinates.
RowSpan DamagedRows(const Rect* drawn, int count, const Rect& capture);

// The rows to read again when a pointer is drawn into the picture (rectangles in picture
// coordinates, empty when no pointer is drawn). Where the pointer moved or changed shape,
// the rows it covered and the rows it covers now are read afresh; and as it is drawn whole
// over fresh pixels, any fresh row under it brings in all of its rows.
RowSpan RowsWithPointer(RowSpan damaged, const Rect& drawnBefore, const Rect& drawNow, bool shapeChanged,
                        int height);

// The rows of a picture scaled from srcH to dstH rows that depend on the source rows src,
// with a margin for the scaling filter, widened to even rows for 4:2:0 chroma.
RowSpan ScaledRows(RowSpan src, int srcH, int dstH);

// The largest rectangle with the aspect ratio of src that fits inside out, centred, with
// even position and size (I420 chroma is subsampled 2x2); the rest of the frame is a black
// bar. An empty source gives an empty rectangle.
Rect FitInside(int srcW, int srcH, int outW, int outH);

// The part of a winW x winH window to capture: all-zero asked means the whole window;
// otherwise asked cut to the window (empty when it lies outside the window now).
Rect ClipCaptureRect(const Rect& asked, int winW, int winH);

// Frame deadlines on an absolute clock: frame n is due at start + n / fps seconds, so the
// rate does not drift however long each frame takes. A caller held up briefly (a busy
// machine) catches up on the frames it is behind; one held up longer than kMaxCatchUpUs
// skips the frames it missed instead of sending a long burst of stale pictures.
class FramePacer {
public:
    enum : int64_t { kMaxCatchUpUs = 500000 };
    explicit FramePacer(int fps) : m_fps(fps > 0 ? fps : 1) {}
    void Start(int64_t nowUs) {
        m_startUs = nowUs;
        m_index = 0;
    }
    // Index and deadline of the frame to produce now.
    int64_t Index() const { return m_index; }
    int64_t Deadline() const { return DeadlineOf(m_index); }
    // Moves on past the current frame; returns the number of frames skipped because nowUs is
    // already more than kMaxCatchUpUs past the next deadline.
    int64_t Advance(int64_t nowUs);
    int64_t DeadlineOf(int64_t index) const { return m_startUs + index * 1000000 / m_fps; }

private:
    int m_fps;
    int64_t m_startUs = 0;
    int64_t m_index = 0;
};

// Draws a premultiplied ARGB cursor image (one 32-bit value per pixel, alpha in the top
// byte) with its top-left corner at (cx, cy) into a 32-bit BGRA picture, cut to the picture.
void BlendCursor(uint8_t* bgra, int stride, int width, int height, const uint32_t* cursor,
                 int cursorW, int cursorH, int cx, int cy);

}  // namespace mediatap
