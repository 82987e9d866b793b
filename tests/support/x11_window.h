// Windows and pictures for tests that draw on an X display: a simple top-level window on the
// test's own connection, read back as RGB, and the comparisons the tests make on pictures.
// Xlib types stay out of this header; the window's X id is an unsigned long.
//
// Threads: an XWindow belongs to the thread that made it (its connection is not shared); the
// picture functions are pure and may be called from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct _XDisplay;
struct _XGC;

namespace testsupport {

// The background colour of an XWindow by default (olive): what an undrawn window shows.
constexpr uint32_t kWindowBackground = 0x808000;

// An RGB picture, pixels as 0xRRGGBB row by row.
struct Rgb {
    int w = 0, h = 0;
    std::vector<uint32_t> px;
    uint32_t at(int x, int y) const { return px[static_cast<size_t>(y) * w + x]; }
};

// Mean absolute difference per channel of two pictures of one size (255 when they differ in
// size or are empty).
double MeanAbsDiff(const Rgb& a, const Rgb& b);

// Pixels of a picture that are exactly this colour, in per cent (0 for an empty picture).
double ShareOf(const Rgb& p, uint32_t colour);

// A picture from packed rgb24 bytes (what ffmpeg writes with -pix_fmt rgb24); empty when the
// bytes are not exactly w * h * 3.
Rgb RgbFromRgb24(const std::string& bytes, int w, int h);

// Writes the picture as DIR/NAME.ppm when the environment variable `dirVariable` names a
// folder DIR; does nothing otherwise.
void DumpPpm(const Rgb& p, const char* dirVariable, const std::string& name);

// A mapped top-level window on its own connection to $DISPLAY. The constructor returns once
// the server has mapped it; ok() is false when the display could not be opened.
class XWindow {
public:
    XWindow(int x, int y, int w, int h, uint32_t background = kWindowBackground);
    ~XWindow();
    XWindow(const XWindow&) = delete;
    XWindow& operator=(const XWindow&) = delete;

    bool ok() const { return m_display && m_window; }
    unsigned long id() const { return m_window; }
    void* handle() const { return reinterpret_cast<void*>(m_window); }
    // Paints the whole window in one colour and waits until the server has done it.
    void Fill(uint32_t colour);
    void Resize(int w, int h);
    // Destroys the window now (the connection stays open until the object goes).
    void Destroy();
    // The window's pixels (empty when the server cannot give them).
    Rgb Read();

private:
    _XDisplay* m_display = nullptr;
    unsigned long m_window = 0;
    _XGC* m_gc = nullptr;
};

}  // namespace testsupport
