// The device layer under the camera plug-in: the narrow set of platform operations that the
// device walk, the capability list and the capture graph need. Everything that decides lives
// above it; a backend only reads properties and formats, sets a format and streams samples.
//
// Backends: V4L2 (device_layer_v4l2.h) and media files played as cameras
// (device_layer_pattern.h). Results are HRESULT-style codes (0 success, negative failure).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Orvane {
namespace camdev {

typedef int32_t HResult;
constexpr HResult kS_OK = 0;
constexpr HResult kS_FALSE = 1;
constexpr HResult kE_FAIL = static_cast<HResult>(0x80004005u);
constexpr HResult kE_NOTIMPL = static_cast<HResult>(0x80004001u);
constexpr HResult kE_INVALIDARG = static_cast<HResult>(0x80070057u);
constexpr HResult kE_BUSY = static_cast<HResult>(0x80070004u);
constexpr HResult kE_OUTOFMEMORY = static_cast<HResult>(0x8007000Eu);
constexpr HResult kREGDB_E_CLASSNOTREG = static_cast<HResult>(0x80040154u);
constexpr HResult kVFW_S_NO_MORE_ITEMS = static_cast<HResult>(0x00040103u);
constexpr HResult kVFW_S_CANT_CUE = static_cast<HResult>(0x00040268u);
constexpr HResult kVFW_E_INVALIDMEDIATYPE = static_cast<HResult>(0x80040200u);
constexpr HResult kVFW_E_NOT_CONNECTED = static_cast<HResult>(0x80040209u);
constexpr HResult kVFW_E_NO_ACCEPTABLE_TYPES = static_cast<HResult>(0x80040207u);
constexpr HResult kVFW_E_ALREADY_CONNECTED = static_cast<HResult>(0x80040204u);
constexpr HResult kVFW_E_TYPE_NOT_ACCEPTED = static_cast<HResult>(0x8004022Au);
constexpr HResult kVFW_E_WRONG_STATE = static_cast<HResult>(0x80040227u);
inline bool Succeeded(HResult hr) { return hr >= 0; }

constexpr uint32_t Fourcc(char a, char b, char c, char d) {
    return static_cast<uint32_t>(static_cast<uint8_t>(a)) | (static_cast<uint32_t>(static_cast<uint8_t>(b)) << 8) |
           (static_cast<uint32_t>(static_cast<uint8_t>(c)) << 16) |
           (static_cast<uint32_t>(static_cast<uint8_t>(d)) << 24);
}

// Media subtypes. A FOURCC subtype is its FOURCC (the GUID {FOURCC-0000-0010-8000-00AA00389B71});
// the two RGB subtypes are the first 32 bits of their GUIDs ({e436eb7X-524f-11ce-9f53-0020af0ba770}).
constexpr uint32_t kSubtypeI420 = Fourcc('I', '4', '2', '0');
constexpr uint32_t kSubtypeIYUV = Fourcc('I', 'Y', 'U', 'V');
constexpr uint32_t kSubtypeYUY2 = Fourcc('Y', 'U', 'Y', '2');
constexpr uint32_t kSubtypeUYVY = Fourcc('U', 'Y', 'V', 'Y');
constexpr uint32_t kSubtypeHDYC = Fourcc('H', 'D', 'Y', 'C');
constexpr uint32_t kSubtypeMJPG = Fourcc('M', 'J', 'P', 'G');
constexpr uint32_t kSubtypeDVSL = Fourcc('d', 'v', 's', 'l');
constexpr uint32_t kSubtypeDVSD = Fourcc('d', 'v', 's', 'd');
constexpr uint32_t kSubtypeDVHD = Fourcc('d', 'v', 'h', 'd');
constexpr uint32_t kSubtypeNV12 = Fourcc('N', 'V', '1', '2');
constexpr uint32_t kSubtypeRGB24 = 0xe436eb7du;
constexpr uint32_t kSubtypeRGB565 = 0xe436eb7bu;

// The GUID text of a subtype, "{...}" as the platform prints it.
std::wstring SubtypeGuidText(uint32_t subtype);

enum class FormatType { None, VideoInfo, VideoInfo2, Other };

// A media type with its video header (the fields the plug-in reads or writes).
struct MediaType {
    bool video = true;  // major type video
    FormatType formatType = FormatType::VideoInfo;
    bool hasHeader = true;  // a format block is present
    uint32_t subtype = 0;
    bool temporalCompression = false;
    uint32_t headerSize = 40;  // bitmap header size
    int32_t width = 0;         // bitmap width
    int32_t height = 0;        // bitmap height (positive: bottom-up for RGB)
    uint16_t planes = 1;
    uint16_t bitCount = 0;
    uint32_t compression = 0;      // bitmap compression code (a FOURCC, or 0 for RGB)
    uint32_t imageSize = 0;        // bitmap image size, also the sample size
    int64_t avgTimePerFrame = 0;   // 100 ns units
    uint32_t interlaceFlags = 0;   // VideoInfo2 only; bit 0 = interlaced
};

// One frame from a device. newType is set when the device changed its type with this sample.
struct Sample {
    const uint8_t* data = nullptr;
    int32_t length = 0;
    const MediaType* newType = nullptr;
};

// Receives the samples of a connected device (the sink's input pin).
// Threads: called on the device's streaming thread only.
class ISampleReceiver {
public:
    // A failure result ends the stream: the device delivers nothing more until the next Run.
    virtual HResult Receive(const Sample& sample) = 0;

protected:
    ~ISampleReceiver() = default;
};

// One opened camera: its capture output, stream formats and streaming.
// Threads: the control calls from one thread at a time; Receive of the connected receiver is
// called on the device's own streaming thread between Run and the return of Pause / Stop /
// Disconnect.
class ICaptureDevice {
public:
    virtual ~ICaptureDevice() = default;

    virtual bool HasOutputPin() = 0;
    // True for a tape-style external device (the plug-in only logs it).
    virtual bool IsExternalDevice() = 0;

    virtual HResult GetNumberOfCapabilities(int& count) = 0;
    virtual HResult GetStreamCaps(int index, MediaType& out) = 0;
    // The device can list frame intervals per format (and have one written when set).
    virtual bool HasVideoControl() = 0;
    // Frame intervals (100 ns units) the format of stream index offers at width x height.
    virtual HResult GetMaxAvailableFrameRate(int index, int width, int height, std::vector<int64_t>& intervals) = 0;
    // Sets the output format (one of GetStreamCaps, the frame interval possibly rewritten).
    // From then on it is the only type the output offers.
    virtual HResult SetFormat(const MediaType& type) = 0;
    // The type the output would connect with now.
    virtual HResult GetFormat(MediaType& out) = 0;
    // True when the output can deliver type (subtype and size of its format).
    virtual bool QueryAccept(const MediaType& type) = 0;

    // Connects the output to receiver with the agreed type (already accepted by both sides).
    virtual HResult Connect(ISampleReceiver* receiver, const MediaType& agreed) = 0;
    virtual HResult Disconnect() = 0;
    virtual bool IsConnected() = 0;

    // Starts delivering samples on the streaming thread.
    virtual HResult Run() = 0;
    // Ends delivery; returns after the streaming thread has left Receive.
    virtual HResult Pause() = 0;
    virtual HResult Stop() = 0;
};

// One entry of the video-input category: a property bag and a way to open the device.
class IDeviceMoniker {
public:
    virtual ~IDeviceMoniker() = default;
    // "FriendlyName", "Description", "DevicePath": false when the device has no such property.
    virtual bool ReadProperty(const char* name, std::string& utf8) = 0;
    virtual std::unique_ptr<ICaptureDevice> Bind(HResult& hr) = 0;
};

// The machine's video-input devices.
// Threads: any thread; each returned object is used by one thread at a time.
class IDeviceLayer {
public:
    virtual ~IDeviceLayer() = default;
    // kS_OK with the devices, kS_FALSE when there are none, a failure otherwise.
    virtual HResult EnumerateVideoInputs(std::vector<std::unique_ptr<IDeviceMoniker>>& out) = 0;
    // A decoder of DV tape formats to YUY2. No backend here has one.
    virtual HResult CreateDvDecoder() { return kREGDB_E_CLASSNOTREG; }
};

// The layer the exported factories use: V4L2 cameras followed by the pattern cameras of
// CAMPORT_PATTERN_CAMERAS.
std::shared_ptr<IDeviceLayer> CreateDefaultDeviceLayer();

// Raises the calling thread to the highest scheduling priority the process may set and names
// it. Used once by the streaming thread.
void PromoteStreamingThread(const char* name);

}  // namespace camdev
}  // namespace Orvane
