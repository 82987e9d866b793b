#include "Capture/device_layer_v4l2.h"

#include "Capture/streaming_device.h"
#include "common/slogger.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace Orvane {
namespace camdev {

namespace v4l2map {

uint32_t SubtypeFromPixelFormat(uint32_t pixelFormat) {
    switch (pixelFormat) {
    case V4L2_PIX_FMT_YUYV: return kSubtypeYUY2;
    case V4L2_PIX_FMT_UYVY: return kSubtypeUYVY;
    case V4L2_PIX_FMT_YUV420: return kSubtypeI420;
    case V4L2_PIX_FMT_MJPEG:
    case V4L2_PIX_FMT_JPEG: return kSubtypeMJPG;
    case V4L2_PIX_FMT_BGR24: return kSubtypeRGB24;
    case V4L2_PIX_FMT_RGB565: return kSubtypeRGB565;
    case V4L2_PIX_FMT_NV12: return kSubtypeNV12;
    default: return pixelFormat;  // V4L2 FOURCCs have the byte order of the FOURCC subtypes
    }
}

uint32_t PixelFormatFromSubtype(uint32_t subtype) {
    switch (subtype) {
    case kSubtypeYUY2: return V4L2_PIX_FMT_YUYV;
    case kSubtypeUYVY: return V4L2_PIX_FMT_UYVY;
    case kSubtypeI420:
    case kSubtypeIYUV: return V4L2_PIX_FMT_YUV420;
    case kSubtypeMJPG: return V4L2_PIX_FMT_MJPEG;
    case kSubtypeRGB24: return V4L2_PIX_FMT_BGR24;
    case kSubtypeRGB565: return V4L2_PIX_FMT_RGB565;
    case kSubtypeNV12: return V4L2_PIX_FMT_NV12;
    default: return 0;
    }
}

uint32_t PixelFormatToSet(uint32_t subtype, const std::vector<uint32_t>& listed) {
    const uint32_t preferred = PixelFormatFromSubtype(subtype);
    if (std::find(listed.begin(), listed.end(), preferred) != listed.end()) return preferred;
    for (uint32_t f : listed)
        if (SubtypeFromPixelFormat(f) == subtype) return f;
    return preferred;
}

bool SamePixelFormat(uint32_t asked, uint32_t answered) {
    if (asked == answered) return true;
    const auto jpeg = [](uint32_t f) { return f == V4L2_PIX_FMT_MJPEG || f == V4L2_PIX_FMT_JPEG; };
    return jpeg(asked) && jpeg(answered);
}

int32_t HeaderHeight(uint32_t pixelFormat, uint32_t height) {
    const int32_t h = static_cast<int32_t>(std::min<uint32_t>(height, 0x7fffffffu));
    return SubtypeFromPixelFormat(pixelFormat) == kSubtypeRGB24 ? -h : h;
}

int64_t IntervalFromFraction(uint32_t numerator, uint32_t denominator) {
    if (denominator == 0) return 0;
    return static_cast<int64_t>(numerator) * 10000000 / denominator;
}

std::pair<uint32_t, uint32_t> FractionFromInterval(int64_t interval) {
    if (interval <= 0) return {0, 0};
    if (interval > 0xffffffffll) interval = 0xffffffffll;
    return {static_cast<uint32_t>(interval), 10000000u};
}

MediaType MediaTypeFor(uint32_t pixelFormat, uint32_t width, uint32_t height, int64_t interval) {
    MediaType mt;
    mt.video = true;
    mt.formatType = FormatType::VideoInfo;
    mt.subtype = SubtypeFromPixelFormat(pixelFormat);
    mt.width = static_cast<int32_t>(std::min<uint32_t>(width, 0x7fffffffu));
    mt.height = HeaderHeight(pixelFormat, height);
    mt.avgTimePerFrame = interval;
    const uint64_t pixels = static_cast<uint64_t>(width) * height;
    switch (mt.subtype) {
    case kSubtypeRGB24:
        mt.compression = 0;
        mt.bitCount = 24;
        mt.imageSize = static_cast<uint32_t>(pixels * 3);
        break;
    case kSubtypeRGB565:
        mt.compression = 3;
        mt.bitCount = 16;
        mt.imageSize = static_cast<uint32_t>(pixels * 2);
        break;
    case kSubtypeYUY2:
    case kSubtypeUYVY:
        mt.compression = mt.subtype;
        mt.bitCount = 16;
        mt.imageSize = static_cast<uint32_t>(pixels * 2);
        break;
    case kSubtypeMJPG:
        mt.compression = mt.subtype;
        mt.bitCount = 24;
        mt.imageSize = static_cast<uint32_t>(pixels * 3);
        mt.temporalCompression = false;
        break;
    default:
        mt.compression = mt.subtype;
        mt.bitCount = 12;
        mt.imageSize = static_cast<uint32_t>(pixels * 3 / 2);
        break;
    }
    return mt;
}

std::vector<std::pair<uint32_t, uint32_t>> SizesFromRange(uint32_t minW, uint32_t maxW, uint32_t stepW, uint32_t minH,
                                                          uint32_t maxH, uint32_t stepH) {
    static const std::pair<uint32_t, uint32_t> kCommon[] = {{160, 120},  {320, 240},   {352, 288},   {640, 360},
                                                            {640, 480},  {800, 600},   {960, 540},   {1024, 768},
                                                            {1280, 720}, {1280, 960},  {1600, 1200}, {1920, 1080},
                                                            {2560, 1440}, {3840, 2160}};
    std::vector<std::pair<uint32_t, uint32_t>> sizes;
    if (maxW < minW || maxH < minH || maxW == 0 || maxH == 0) return sizes;
    if (stepW == 0) stepW = 1;
    if (stepH == 0) stepH = 1;
    for (const auto& s : kCommon) {
        if (s.first < minW || s.first > maxW || s.second < minH || s.second > maxH) continue;
        if ((s.first - minW) % stepW != 0 || (s.second - minH) % stepH != 0) continue;
        sizes.push_back(s);
    }
    if (sizes.empty() || sizes.back() != std::make_pair(maxW, maxH)) sizes.emplace_back(maxW, maxH);
    return sizes;
}

uint32_t PackedRowBytes(uint32_t pixelFormat, uint32_t width) {
    switch (pixelFormat) {
    case V4L2_PIX_FMT_YUYV:
    case V4L2_PIX_FMT_UYVY: return ((width + 1) / 2) * 4;
    case V4L2_PIX_FMT_RGB565: return width * 2;
    case V4L2_PIX_FMT_BGR24: return width * 3;
    default: return 0;
    }
}

namespace {

// One plane of an uncompressed frame: rows of rowBytes, stride bytes apart in the driver's
// buffer.
struct PlaneRows {
    uint32_t rowBytes;
    uint32_t rows;
    uint32_t stride;
};

// The planes of a frame in the driver's layout; empty for compressed and unknown formats.
std::vector<PlaneRows> PlanesOf(uint32_t pixelFormat, uint32_t width, uint32_t height, uint32_t bytesPerLine) {
    const uint32_t halfW = (width + 1) / 2, halfH = (height + 1) / 2;
    switch (pixelFormat) {
    case V4L2_PIX_FMT_YUV420: {
        const uint32_t bpl = std::max(bytesPerLine, width);
        const uint32_t chroma = std::max(bpl / 2, halfW);
        return {{width, height, bpl}, {halfW, halfH, chroma}, {halfW, halfH, chroma}};
    }
    case V4L2_PIX_FMT_NV12: {
        const uint32_t bpl = std::max(bytesPerLine, halfW * 2);
        return {{width, height, bpl}, {halfW * 2, halfH, bpl}};
    }
    default: {
        const uint32_t row = PackedRowBytes(pixelFormat, width);
        if (row == 0) return {};
        return {{row, height, std::max(bytesPerLine, row)}};
    }
    }
}

}  // namespace

bool HasPaddedRows(uint32_t pixelFormat, uint32_t width, uint32_t bytesPerLine) {
    const std::vector<PlaneRows> planes = PlanesOf(pixelFormat, width, 1, bytesPerLine);
    return !planes.empty() && bytesPerLine > planes.front().rowBytes;
}

bool PackFrame(uint32_t pixelFormat, uint32_t width, uint32_t height, uint32_t bytesPerLine, const uint8_t* data,
               size_t length, std::vector<uint8_t>& out) {
    const std::vector<PlaneRows> planes = PlanesOf(pixelFormat, width, height, bytesPerLine);
    if (planes.empty() || !data || height == 0) return false;
    size_t packed = 0, need = 0;
    for (const PlaneRows& p : planes) {
        packed += static_cast<size_t>(p.rowBytes) * p.rows;
        need += static_cast<size_t>(p.stride) * p.rows;
    }
    // The last row of the last plane needs no padding behind it.
    need -= planes.back().stride - planes.back().rowBytes;
    if (length < need) return false;
    out.resize(packed);
    uint8_t* dst = out.data();
    const uint8_t* src = data;
    for (const PlaneRows& p : planes) {
        for (uint32_t r = 0; r < p.rows; ++r) {
            std::memcpy(dst, src + static_cast<size_t>(r) * p.stride, p.rowBytes);
            dst += p.rowBytes;
        }
        src += static_cast<size_t>(p.stride) * p.rows;
    }
    return true;
}

std::string CardName(const uint8_t* card, size_t size) {
    size_t n = 0;
    while (n < size && card[n]) ++n;
    return std::string(reinterpret_cast<const char*>(card), n);
}

}  // namespace v4l2map

namespace {

int Ioctl(int fd, unsigned long request, void* arg) {
    int rc;
    do {
        rc = ioctl(fd, request, arg);
    } while (rc < 0 && errno == EINTR);
    return rc;
}

HResult FromErrno(int err) { return static_cast<HResult>(0x80070000u | (static_cast<uint32_t>(err) & 0xffffu)); }

class V4l2CaptureDevice : public StreamingCaptureDevice {
public:
    explicit V4l2CaptureDevice(int fd) : m_fd(fd) { ReadFormats(); }
    ~V4l2CaptureDevice() override {
        Shutdown();
        close(m_fd);
    }

    bool HasVideoControl() override { return m_bIntervals; }
    HResult GetMaxAvailableFrameRate(int index, int, int, std::vector<int64_t>& intervals) override {
        intervals.clear();
        if (index < 0 || index >= static_cast<int>(m_intervals.size())) return kE_INVALIDARG;
        intervals = m_intervals[static_cast<size_t>(index)];
        return intervals.empty() ? kE_NOTIMPL : kS_OK;
    }

protected:
    HResult OpenStream(const MediaType& type) override {
        const uint32_t pixfmt = v4l2map::PixelFormatToSet(type.subtype, m_pixelFormats);
        if (!pixfmt) return kVFW_E_INVALIDMEDIATYPE;
        v4l2_format fmt;
        std::memset(&fmt, 0, sizeof(fmt));
        fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        fmt.fmt.pix.pixelformat = pixfmt;
        fmt.fmt.pix.width = static_cast<uint32_t>(type.width);
        fmt.fmt.pix.height = static_cast<uint32_t>(type.height < 0 ? -type.height : type.height);
        fmt.fmt.pix.field = V4L2_FIELD_ANY;
        if (Ioctl(m_fd, VIDIOC_S_FMT, &fmt) < 0) return FromErrno(errno);
        if (!v4l2map::SamePixelFormat(pixfmt, fmt.fmt.pix.pixelformat) ||
            fmt.fmt.pix.width != static_cast<uint32_t>(type.width) ||
            fmt.fmt.pix.height != static_cast<uint32_t>(type.height < 0 ? -type.height : type.height)) {
            OV_LOG("V4L2 device refused the format %dx%d", type.width, type.height);
            return kVFW_E_INVALIDMEDIATYPE;
        }
        m_pixelFormat = fmt.fmt.pix.pixelformat;
        m_width = fmt.fmt.pix.width;
        m_bytesPerLine = fmt.fmt.pix.bytesperline;
        m_rows = fmt.fmt.pix.height;
        if (type.avgTimePerFrame > 0) {
            v4l2_streamparm parm;
            std::memset(&parm, 0, sizeof(parm));
            parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            if (Ioctl(m_fd, VIDIOC_G_PARM, &parm) == 0 && (parm.parm.capture.capability & V4L2_CAP_TIMEPERFRAME)) {
                const auto fraction = v4l2map::FractionFromInterval(type.avgTimePerFrame);
                parm.parm.capture.timeperframe.numerator = fraction.first;
                parm.parm.capture.timeperframe.denominator = fraction.second;
                Ioctl(m_fd, VIDIOC_S_PARM, &parm);
            }
        }
        v4l2_requestbuffers req;
        std::memset(&req, 0, sizeof(req));
        req.count = 4;
        req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        req.memory = V4L2_MEMORY_MMAP;
        if (Ioctl(m_fd, VIDIOC_REQBUFS, &req) < 0 || req.count == 0) return FromErrno(errno ? errno : ENOMEM);
        for (uint32_t i = 0; i < req.count; ++i) {
            v4l2_buffer buf;
            std::memset(&buf, 0, sizeof(buf));
            buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            buf.memory = V4L2_MEMORY_MMAP;
            buf.index = i;
            if (Ioctl(m_fd, VIDIOC_QUERYBUF, &buf) < 0) return Fail(errno);
            void* start = mmap(nullptr, buf.length, PROT_READ | PROT_WRITE, MAP_SHARED, m_fd, buf.m.offset);
            if (start == MAP_FAILED) return Fail(errno);
            m_buffers.push_back({start, buf.length});
            if (Ioctl(m_fd, VIDIOC_QBUF, &buf) < 0) return Fail(errno);
        }
        v4l2_buf_type bufType = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (Ioctl(m_fd, VIDIOC_STREAMON, &bufType) < 0) return Fail(errno);
        return kS_OK;
    }

    int ReadSample(Sample& out) override {
        pollfd pfd{m_fd, POLLIN, 0};
        const int rc = poll(&pfd, 1, 100);
        if (rc == 0 || (rc < 0 && errno == EINTR)) return 0;
        if (rc < 0 || (pfd.revents & (POLLERR | POLLHUP | POLLNVAL))) return -1;
        v4l2_buffer buf;
        std::memset(&buf, 0, sizeof(buf));
        buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buf.memory = V4L2_MEMORY_MMAP;
        if (Ioctl(m_fd, VIDIOC_DQBUF, &buf) < 0) return errno == EAGAIN ? 0 : -1;
        if (buf.index >= m_buffers.size()) return -1;
        m_pending = buf;
        m_bPending = true;
        if (buf.flags & V4L2_BUF_FLAG_ERROR) {
            ReleaseSample();
            return 0;
        }
        out.data = static_cast<const uint8_t*>(m_buffers[buf.index].start);
        out.length = static_cast<int32_t>(std::min<uint32_t>(buf.bytesused, m_buffers[buf.index].length));
        if (v4l2map::HasPaddedRows(m_pixelFormat, m_width, m_bytesPerLine)) {
            // Padded rows: the frame path expects every plane packed.
            if (!v4l2map::PackFrame(m_pixelFormat, m_width, m_rows, m_bytesPerLine, out.data,
                                    static_cast<size_t>(out.length), m_packed)) {
                ReleaseSample();
                return 0;
            }
            out.data = m_packed.data();
            out.length = static_cast<int32_t>(m_packed.size());
        }
        return 1;
    }

    void ReleaseSample() override {
        if (!m_bPending) return;
        Ioctl(m_fd, VIDIOC_QBUF, &m_pending);
        m_bPending = false;
    }

    void CloseStream() override {
        v4l2_buf_type bufType = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        Ioctl(m_fd, VIDIOC_STREAMOFF, &bufType);
        for (const Mapped& b : m_buffers) munmap(b.start, b.length);
        m_buffers.clear();
        v4l2_requestbuffers req;
        std::memset(&req, 0, sizeof(req));
        req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        req.memory = V4L2_MEMORY_MMAP;
        Ioctl(m_fd, VIDIOC_REQBUFS, &req);
        m_bPending = false;
    }

private:
    struct Mapped {
        void* start;
        size_t length;
    };

    HResult Fail(int err) {
        CloseStream();
        return FromErrno(err);
    }

    void AddFormat(uint32_t pixfmt, uint32_t w, uint32_t h) {
        std::vector<int64_t> intervals;
        for (uint32_t k = 0;; ++k) {
            v4l2_frmivalenum iv;
            std::memset(&iv, 0, sizeof(iv));
            iv.index = k;
            iv.pixel_format = pixfmt;
            iv.width = w;
            iv.height = h;
            if (Ioctl(m_fd, VIDIOC_ENUM_FRAMEINTERVALS, &iv) < 0) break;
            if (iv.type == V4L2_FRMIVAL_TYPE_DISCRETE) {
                intervals.push_back(v4l2map::IntervalFromFraction(iv.discrete.numerator, iv.discrete.denominator));
            } else {
                intervals.push_back(v4l2map::IntervalFromFraction(iv.stepwise.min.numerator, iv.stepwise.min.denominator));
                intervals.push_back(v4l2map::IntervalFromFraction(iv.stepwise.max.numerator, iv.stepwise.max.denominator));
                break;
            }
        }
        intervals.erase(std::remove_if(intervals.begin(), intervals.end(), [](int64_t v) { return v <= 0; }),
                        intervals.end());
        int64_t fastest = 0;
        for (int64_t v : intervals)
            if (fastest == 0 || v < fastest) fastest = v;
        if (!intervals.empty()) m_bIntervals = true;
        m_formats.push_back(v4l2map::MediaTypeFor(pixfmt, w, h, fastest));
        m_intervals.push_back(std::move(intervals));
    }

    void ReadFormats() {
        for (uint32_t i = 0;; ++i) {
            v4l2_fmtdesc desc;
            std::memset(&desc, 0, sizeof(desc));
            desc.index = i;
            desc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            if (Ioctl(m_fd, VIDIOC_ENUM_FMT, &desc) < 0) break;
            m_pixelFormats.push_back(desc.pixelformat);
            bool any = false;
            for (uint32_t j = 0;; ++j) {
                v4l2_frmsizeenum size;
                std::memset(&size, 0, sizeof(size));
                size.index = j;
                size.pixel_format = desc.pixelformat;
                if (Ioctl(m_fd, VIDIOC_ENUM_FRAMESIZES, &size) < 0) break;
                any = true;
                if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
                    AddFormat(desc.pixelformat, size.discrete.width, size.discrete.height);
                } else {
                    for (const auto& s :
                         v4l2map::SizesFromRange(size.stepwise.min_width, size.stepwise.max_width,
                                                 size.stepwise.step_width, size.stepwise.min_height,
                                                 size.stepwise.max_height, size.stepwise.step_height))
                        AddFormat(desc.pixelformat, s.first, s.second);
                    break;
                }
            }
            if (!any) {
                // No size list: the current size is the one format.
                v4l2_format fmt;
                std::memset(&fmt, 0, sizeof(fmt));
                fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
                if (Ioctl(m_fd, VIDIOC_G_FMT, &fmt) == 0)
                    AddFormat(desc.pixelformat, fmt.fmt.pix.width, fmt.fmt.pix.height);
            }
        }
    }

    int m_fd;
    std::vector<uint32_t> m_pixelFormats;  // as the device lists them
    uint32_t m_pixelFormat = 0;   // the one the driver streams
    uint32_t m_width = 0;
    uint32_t m_bytesPerLine = 0;  // bytes of one (Y) row as the driver lays it out
    uint32_t m_rows = 0;
    std::vector<uint8_t> m_packed;
    std::vector<std::vector<int64_t>> m_intervals;  // per listed format
    bool m_bIntervals = false;
    std::vector<Mapped> m_buffers;
    v4l2_buffer m_pending{};
    bool m_bPending = false;
};

class V4l2Moniker : public IDeviceMoniker {
public:
    V4l2Moniker(std::string path, std::string card) : m_path(std::move(path)), m_card(std::move(card)) {}

    bool ReadProperty(const char* name, std::string& utf8) override {
        if (std::strcmp(name, "FriendlyName") == 0 || std::strcmp(name, "Description") == 0) {
            if (m_card.empty()) return false;
            utf8 = m_card;
            return true;
        }
        if (std::strcmp(name, "DevicePath") == 0) {
            utf8 = m_path;
            return true;
        }
        return false;
    }

    std::unique_ptr<ICaptureDevice> Bind(HResult& hr) override {
        const int fd = open(m_path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            hr = FromErrno(errno);
            return nullptr;
        }
        hr = kS_OK;
        return std::unique_ptr<ICaptureDevice>(new V4l2CaptureDevice(fd));
    }

private:
    std::string m_path;
    std::string m_card;
};

class V4l2DeviceLayer : public IDeviceLayer {
public:
    explicit V4l2DeviceLayer(std::string folder) : m_folder(std::move(folder)) {}

    HResult EnumerateVideoInputs(std::vector<std::unique_ptr<IDeviceMoniker>>& out) override {
        out.clear();
        std::vector<std::pair<int, std::string>> nodes;
        DIR* dir = opendir(m_folder.c_str());
        if (!dir) return kS_FALSE;
        while (dirent* entry = readdir(dir)) {
            const char* name = entry->d_name;
            if (std::strncmp(name, "video", 5) != 0 || !name[5]) continue;
            char* end = nullptr;
            const long number = std::strtol(name + 5, &end, 10);
            if (*end || number < 0) continue;
            nodes.emplace_back(static_cast<int>(number), m_folder + "/" + name);
        }
        closedir(dir);
        std::sort(nodes.begin(), nodes.end());
        for (const auto& node : nodes) {
            const int fd = open(node.second.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0) continue;
            v4l2_capability cap;
            std::memset(&cap, 0, sizeof(cap));
            const bool ok = Ioctl(fd, VIDIOC_QUERYCAP, &cap) == 0;
            close(fd);
            if (!ok) continue;
            const uint32_t caps = (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
            if (!(caps & V4L2_CAP_VIDEO_CAPTURE) || !(caps & V4L2_CAP_STREAMING)) continue;
            out.push_back(std::unique_ptr<IDeviceMoniker>(
                new V4l2Moniker(node.second, v4l2map::CardName(cap.card, sizeof(cap.card)))));
        }
        return out.empty() ? kS_FALSE : kS_OK;
    }

private:
    std::string m_folder;
};

}  // namespace

std::shared_ptr<IDeviceLayer> CreateV4l2DeviceLayer(const std::string& folder) {
    return std::make_shared<V4l2DeviceLayer>(folder);
}

}  // namespace camdev
}  // namespace Orvane
