// A device backend that plays a media file as a camera (for example a clip of ffmpeg's
// testsrc pattern): the file is decoded with libavcodec, looped, paced to the format's frame
// rate and delivered in whichever of the camera's formats is set (raw YUY2, UYVY, I420,
// IYUV, NV12, RGB565, RGB24 bottom-up or top-down, or MJPEG encoded per frame).
//
// Threads: as IDeviceLayer / ICaptureDevice. The sample observer is called on the streaming
// thread, just before each sample goes to the receiver.
#pragma once

#include "Capture/device_layer.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace Orvane {
namespace camdev {

// One listed format of a pattern camera.
struct PatternFormat {
    uint32_t subtype = kSubtypeYUY2;
    int32_t width = 640;
    int32_t height = 480;  // RGB24: positive = bottom-up rows, negative = top-down
    int64_t interval = 333333;  // 100 ns units
    FormatType formatType = FormatType::VideoInfo;
    uint32_t interlaceFlags = 0;
    bool videoMajor = true;
};

struct PatternCamera {
    std::string file;
    std::vector<PatternFormat> formats;
    // Properties the device offers; empty values are left out ("DevicePath" empty: no path).
    std::string friendlyName;
    std::string description;
    std::string devicePath;
    bool offerFrameRates = true;   // lists frame intervals per format
    int failStreamCapsAt = -1;     // GetStreamCaps of this index fails (for tests)
};

// Parses "file[,TYPE:WxH@FPS]...[|file...]" (see contracts/camport/IVideoCapture.h). Cameras
// get the names "Pattern Camera N" and ids "pattern:N:file". False for malformed text.
bool ParsePatternCameras(const std::string& list, std::vector<PatternCamera>& out);

// The media type a pattern format is listed with.
MediaType MediaTypeOfPatternFormat(const PatternFormat& format);

class PatternDeviceLayer : public IDeviceLayer {
public:
    explicit PatternDeviceLayer(std::vector<PatternCamera> cameras);
    ~PatternDeviceLayer() override;

    HResult EnumerateVideoInputs(std::vector<std::unique_ptr<IDeviceMoniker>>& out) override;

    // Called with every sample delivered by a camera of this layer (tests compare them).
    typedef std::function<void(const MediaType& type, const uint8_t* data, int32_t length)> SampleObserver;
    void SetSampleObserver(SampleObserver observer);

    struct Shared;

private:
    std::vector<PatternCamera> m_cameras;
    std::shared_ptr<Shared> m_shared;
};

}  // namespace camdev
}  // namespace Orvane
