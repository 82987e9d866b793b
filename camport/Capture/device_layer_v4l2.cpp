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
