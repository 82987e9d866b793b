#include "Capture/device_info_windows.h"

#include "Capture/camera_rules.h"
#include "common/slogger.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <strings.h>

namespace Orvane {

using namespace camdev;

namespace {

constexpr size_t kMaxDeviceIdLength = 1024;
constexpr int kErrorInsufficientBuffer = 122;  // the code a too-small conversion buffer reports

// Copies UTF-8 text with its terminating zero into a buffer of usable length len. False
// when it does not fit.
bool CopyUtf8(const std::string& text, char* buffer, uint32_t len) {
    if (text.size() + 1 > len) return false;
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// DeviceInfoImpl

DeviceInfoImpl::~DeviceInfoImpl() {
    Poco::Mutex::ScopedLock lock(m_apiLock);
    m_captureCapabilities.clear();
    m_lastUsedDeviceName.clear();
}

bool DeviceInfoImpl::IsRememberedDevice(const char* uniqueId) const {
    if (!m_bDeviceRemembered) return false;
    const size_t len = m_lastUsedDeviceName.size();
    return std::strlen(uniqueId) == len && strncasecmp(m_lastUsedDeviceName.c_str(), uniqueId, len) == 0;
}

void DeviceInfoImpl::RememberDevice(const char* uniqueId) {
    m_lastUsedDeviceName.assign(uniqueId);
    m_bDeviceRemembered = true;
}

void DeviceInfoImpl::ClearCapabilities() { m_captureCapabilities.clear(); }

int32_t DeviceInfoImpl::NumberOfCapabilities(const char* uniqueId) {
    if (!uniqueId) {
        OV_LOG(" DeviceInfoImpl::NumberOfCapabilities ( NULL ) \r\n");
        return -1;
    }
    Poco::Mutex::ScopedLock lock(m_apiLock);
    if (!IsRememberedDevice(uniqueId)) CreateCapabilityMap(uniqueId);
    return static_cast<int32_t>(m_captureCapabilities.size());
}

int32_t DeviceInfoImpl::GetCapability(const char* uniqueId, uint32_t number, CameraCapability& out) {
    if (!uniqueId) {
        OV_LOG(" deviceUniqueIdUTF8 parameter not set in call to GetCapability \r\n");
        return -1;
    }
    Poco::Mutex::ScopedLock lock(m_apiLock);
    if (!IsRememberedDevice(uniqueId)) CreateCapabilityMap(uniqueId);
    const size_t size = m_captureCapabilities.size();
    if (number >= size) {
        OV_LOG("deviceCapabilityNumber %d is invalid in call to GetCapability", static_cast<int>(number));
        return -1;
    }
    auto it = m_captureCapabilities.find(static_cast<int32_t>(number));
    if (it == m_captureCapabilities.end()) {
        OV_LOG("Failed to find capability number %d of %d possible", static_cast<int>(number), static_cast<int>(size));
        return -1;
    }
    if (!it->second) {
        OV_LOG("deviceCapabilityNumber capPointer == NULL");
        return -1;
    }
    const CameraCapability& cap = *it->second;
    out.width = cap.width;
    out.height = cap.height;
    out.maxFps = cap.maxFps;
    out.pixelType = cap.pixelType;
    out.interlaced = cap.interlaced;
    return 0;
}

int32_t DeviceInfoImpl::FindBestCapability(const char* uniqueId, const CameraCapability& requested,
                                           CameraCapability& resulting) {
    if (!uniqueId) return -1;
    Poco::Mutex::ScopedLock lock(m_apiLock);
    if (!IsRememberedDevice(uniqueId)) CreateCapabilityMap(uniqueId);

    std::vector<CameraCapability> caps;
    std::vector<int32_t> keys;
    caps.reserve(m_captureCapabilities.size());
    for (const auto& entry : m_captureCapabilities) {
        if (!entry.second) continue;
        caps.push_back(*entry.second);
        keys.push_back(entry.first);
    }
    CameraCapability best;
    const int position = camrules::FindBestIndex(caps, requested, best);
    OV_LOG("Best camera format: Width %d, Height %d, Frame rate %d, Color format %d", best.width, best.height,
           best.maxFps, best.pixelType);
    if (position < 0) return -1;
    const CameraCapability& chosen = caps[static_cast<size_t>(position)];
    resulting.width = chosen.width;
    resulting.height = chosen.height;
    resulting.maxFps = chosen.maxFps;
    resulting.pixelType = chosen.pixelType;
    resulting.interlaced = chosen.interlaced;
    return keys[static_cast<size_t>(position)];
}

int32_t DeviceInfoImpl::QueryDeviceValue(const char*, int32_t, int32_t* value) {
    if (value) *value = 0;
    return -1;
}

bool DeviceInfoImpl::GetStoredCapability(int32_t index, CameraCapability& out) {
    Poco::Mutex::ScopedLock lock(m_apiLock);
    auto it = m_captureCapabilities.find(index);
    if (it == m_captureCapabilities.end() || !it->second) return false;
    out = *it->second;
    return true;
}

// ---------------------------------------------------------------------------------------------
// DeviceInfoWindows

DeviceInfoWindows::DeviceInfoWindows(std::shared_ptr<IDeviceLayer> layer) : m_layer(std::move(layer)) {
    CreateDeviceEnumerator();
}

DeviceInfoWindows::~DeviceInfoWindows() {
    Poco::Mutex::ScopedLock lock(m_apiLock);
    m_dsMonikerDevEnum.clear();
    m_dsDevEnum = nullptr;
}

int32_t DeviceInfoWindows::CreateDeviceEnumerator() {
    Poco::Mutex::ScopedLock lock(m_apiLock);
    m_dsMonikerDevEnum.clear();
    m_dsDevEnum = m_layer.get();
    if (!m_dsDevEnum) {
        OV_LOG("Failed to create CLSID_SystemDeviceEnum, error 0x%x", static_cast<unsigned>(kE_FAIL));
        return -1;
    }
    return 0;
}

int32_t DeviceInfoWindows::GetDeviceCount() {
    Poco::Mutex::ScopedLock lock(m_apiLock);
    return GetDeviceInfo(0, nullptr, 0, nullptr, 0, nullptr, 0);
}

int32_t DeviceInfoWindows::GetDeviceNameAt(uint32_t index, char* name, uint32_t nameLen, char* uniqueId,
                                           uint32_t idLen, char* productId, uint32_t productLen) {
    Poco::Mutex::ScopedLock lock(m_apiLock);
    const int32_t count = GetDeviceInfo(index, name, nameLen, uniqueId, idLen, productId, productLen);
    if (count < 0) return -1;
    return index < static_cast<uint32_t>(count) ? 0 : -1;
}

int32_t DeviceInfoWindows::GetDeviceInfo(uint32_t index, char* name, uint32_t nameLen, char* uniqueId,
                                         uint32_t idLen, char* productId, uint32_t productLen) {
    // Each given buffer ends in a zero; one byte less is usable.
    if (name && nameLen > 0) name[--nameLen] = '\0';
    if (!name) nameLen = 0;
    if (uniqueId && idLen > 0) uniqueId[--idLen] = '\0';
    if (!uniqueId) idLen = 0;
    if (productId && productLen > 0) productId[--productLen] = '\0';
    if (!productId) productLen = 0;

    m_dsMonikerDevEnum.clear();
    if (!m_dsDevEnum) return 0;
    const HResult hr = m_dsDevEnum->EnumerateVideoInputs(m_dsMonikerDevEnum);
    if (hr != kS_OK) {
        OV_LOG("Failed to enumerate CLSID_SystemDeviceEnum, error 0x%x. No webcam exist?", static_cast<unsigned>(hr));
        m_dsMonikerDevEnum.clear();
        return 0;
    }

    uint32_t counter = 0;
    for (auto& moniker : m_dsMonikerDevEnum) {
        std::string deviceName;
        if (!moniker->ReadProperty("Description", deviceName) && !moniker->ReadProperty("FriendlyName", deviceName))
            continue;
        if (camrules::IsSkippedDeviceName(deviceName)) continue;
        if (counter == index) {
            if (nameLen > 0 && !CopyUtf8(deviceName, name, nameLen)) {
                OV_LOG("Failed to convert device name to UTF8. %d", kErrorInsufficientBuffer);
                return -1;
            }
            if (idLen > 0) {
                std::string path;
                if (!moniker->ReadProperty("DevicePath", path)) {
                    // The name stands in for the id, cut to the buffer when it must be.
                    const size_t n = std::min<size_t>(deviceName.size(), idLen);
                    std::memcpy(uniqueId, deviceName.data(), n);
                    uniqueId[n] = '\0';
                    OV_LOG("Failed to get deviceUniqueIdUTF8 using deviceNameUTF8  %s", deviceName.c_str());
                } else {
                    if (!CopyUtf8(path, uniqueId, idLen)) {
                        OV_LOG("Failed to convert device name to UTF8. %d", kErrorInsufficientBuffer);
                        return -1;
                    }
                    OV_LOG("to get deviceUniqueIdUTF8 using deviceNameUTF8  %s", uniqueId);
                    if (productLen > 0) {
                        std::string product;
                        if (camrules::ProductIdFromUniqueId(path, productLen, product) ==
                            camrules::ProductIdResult::Failed)
                            OV_LOG("Failed to get the product Id");
                        CopyUtf8(product, productId, productLen);
                    }
                }
            }
        }
        ++counter;
    }
    if (nameLen > 0) OV_LOG("%s %s", "Orvane::DeviceInfoWindows::GetDeviceInfo", name);
    return static_cast<int32_t>(counter);
}

std::unique_ptr<ICaptureDevice> DeviceInfoWindows::GetDeviceFilter(const char* uniqueId, char* productId,
                                                                   uint32_t productLen) {
    if (!uniqueId) return nullptr;
    const size_t idLen = std::strlen(uniqueId);
    OV_LOG("GetDeviceFilter ( %s )", uniqueId);
    OV_LOG("GetDeviceFilter ( %d )", static_cast<int>(idLen));
    if (idLen > kMaxDeviceIdLength) {
        OV_LOG("Device name too long");
        return nullptr;
    }
    if (productId && productLen > 0) productId[--productLen] = '\0';
    if (!productId) productLen = 0;
    if (!m_dsDevEnum) return nullptr;

    std::vector<std::unique_ptr<IDeviceMoniker>> monikers;
    const HResult hr = m_dsDevEnum->EnumerateVideoInputs(monikers);
    if (hr != kS_OK) {
        OV_LOG("Failed to enumerate CLSID_SystemDeviceEnum, error 0x%x. No webcam exist?", static_cast<unsigned>(hr));
        return nullptr;
    }
    std::unique_ptr<ICaptureDevice> filter;
    for (auto& moniker : monikers) {
        std::string text;
        if (!moniker->ReadProperty("DevicePath", text) && !moniker->ReadProperty("Description", text) &&
            !moniker->ReadProperty("FriendlyName", text))
            continue;
        if (text.size() > 255) text.resize(255);  // read into a 256-byte buffer
        if (std::strncmp(text.c_str(), uniqueId, idLen) != 0) continue;
        HResult bindResult = kS_OK;
        filter = moniker->Bind(bindResult);
        if (!filter) OV_LOG("Failed to bind to the selected capture device %d", static_cast<int>(bindResult));
        if (productLen > 0) {
            std::string product;
            if (camrules::ProductIdFromUniqueId(text, productLen, product) == camrules::ProductIdResult::Failed)
                OV_LOG("Failed to get the product Id");
            CopyUtf8(product, productId, productLen);
        }
        break;
    }
    return filter;
}

int32_t DeviceInfoWindows::CreateCapabilityMap(const char* uniqueId) {
    Poco::Mutex::ScopedLock lock(m_apiLock);
    ClearCapabilities();
    if (!uniqueId) return -1;
    if (std::strlen(uniqueId) > kMaxDeviceIdLength) {
        OV_LOG("Device name too long");
        return -1;
    }
    OV_LOG("CreateCapabilityMap called for device %s", uniqueId);

    std::unique_ptr<ICaptureDevice> filter = GetDeviceFilter(uniqueId, nullptr, 0);
    if (!filter) return -1;
    if (!filter->HasOutputPin()) {
        OV_LOG("Failed to get capture device output pin");
        return -1;
    }
    if (filter->IsExternalDevice()) OV_LOG("This is an external device");

    bool useFrameRateList = filter->HasVideoControl();
    if (!useFrameRateList) OV_LOG("IID_IAMVideoControl Interface NOT SUPPORTED");
    int count = 0;
    if (!Succeeded(filter->GetNumberOfCapabilities(count))) {
        OV_LOG("Failed to GetNumberOfCapabilities");
        return -1;
    }

    // First pass: which header family to read the list from.
    bool anyVideoInfo = false, anyVideoInfo2 = false, anyInterlaced = false;
    for (int i = 0; i < count; ++i) {
        MediaType mt;
        if (!Succeeded(filter->GetStreamCaps(i, mt)) || !mt.video) continue;
        if (mt.formatType == FormatType::VideoInfo2) {
            if (!anyVideoInfo2) OV_LOG(" Device support FORMAT_VideoInfo2");
            anyVideoInfo2 = true;
            if (mt.interlaceFlags & 1u) anyInterlaced = true;
        } else if (mt.formatType == FormatType::VideoInfo) {
            anyVideoInfo = true;
        }
    }
    const FormatType preferredFormat = camrules::ChooseFormatType(anyVideoInfo, anyVideoInfo2, anyInterlaced);

    // Second pass: one capability per usable format, under the next dense index.
    int32_t nextIndex = 0;
    for (int i = 0; i < count; ++i) {
        MediaType mt;
        if (!Succeeded(filter->GetStreamCaps(i, mt))) {
            OV_LOG("Failed to GetStreamCaps");
            return -1;
        }
        if (!mt.video || mt.formatType != preferredFormat) continue;

        std::unique_ptr<CameraCapability> cap(new (std::nothrow) CameraCapability());
        if (!cap) return -1;
        cap->width = mt.width;
        cap->height = mt.height;
        if (mt.formatType == FormatType::VideoInfo2) cap->interlaced = (mt.interlaceFlags & 1u) != 0;
        cap->streamCapsIndex = i;

        bool rateFromList = false;
        if (useFrameRateList) {
            std::vector<int64_t> intervals;
            const HResult hr = filter->GetMaxAvailableFrameRate(i, mt.width, mt.height, intervals);
            if (Succeeded(hr) && !intervals.empty()) {
                int64_t smallest = intervals[0];
                for (int64_t v : intervals)
                    if (v < smallest) smallest = v;
                cap->maxFps = camrules::FpsFromInterval(smallest);
                cap->frameRateControl = true;
                rateFromList = true;
            } else {
                OV_LOG("GetMaxAvailableFrameRate NOT SUPPORTED");
                useFrameRateList = false;
            }
        }
        if (!rateFromList) cap->maxFps = camrules::FpsFromInterval(mt.avgTimePerFrame);

        if (mt.subtype == kSubtypeHDYC) OV_LOG("Device support HDYC.");
        cap->pixelType = camrules::PixelTypeFromSubtype(mt.subtype);
        if (cap->pixelType == kCameraUnknown) {
            OV_LOG("Device support unknown media type %ls, width %d, height %d", SubtypeGuidText(mt.subtype).c_str(),
                   cap->width, cap->height);
            continue;
        }
        OV_LOG("Camera capability, width:%d height:%d type:%d fps:%d", cap->width, cap->height, cap->pixelType,
               cap->maxFps);
        m_captureCapabilities[nextIndex++] = std::move(cap);
    }

    RememberDevice(uniqueId);
    OV_LOG("CreateCapabilityMap %d", static_cast<int>(m_captureCapabilities.size()));
    return static_cast<int32_t>(m_captureCapabilities.size());
}

int32_t DeviceInfoWindows::ShowDeviceSettingsDialog(const char* uniqueId, const char*, OvHwnd, uint32_t, uint32_t) {
    Poco::Mutex::ScopedLock lock(m_apiLock);
    // The device is looked up as a settings dialog would need it, but the device layer offers
    // no property pages, so there is nothing to show.
    std::unique_ptr<ICaptureDevice> filter = GetDeviceFilter(uniqueId, nullptr, 0);
    filter.reset();
    return -1;
}

// ---------------------------------------------------------------------------------------------
// CVideoCaptureCapsWindows

CVideoCaptureCapsWindows::CVideoCaptureCapsWindows(std::shared_ptr<IDeviceLayer> layer)
    : DeviceInfoWindows(std::move(layer)) {}

CVideoCaptureCapsWindows::~CVideoCaptureCapsWindows() = default;

bool CVideoCaptureCapsWindows::HasDevice(const char* deviceId, int* result) {
    // Nothing may leave the plug-in as an exception.
    try {
        if (!deviceId) return false;
        const size_t len = std::strlen(deviceId);
        if (len < 2) return false;
        const int count = GetDeviceCount();
        for (int i = 0; i < count; ++i) {
            char id[128];
            if (DeviceInfoWindows::GetDeviceNameAt(static_cast<uint32_t>(i), nullptr, 0, id, sizeof(id), nullptr, 0) != 0)
                return false;
            const size_t idLen = std::strlen(id);
            // A device without an id would agree with every request over zero characters.
            if (idLen == 0) continue;
            if (std::strncmp(deviceId, id, std::min(len, idLen)) == 0) {
                if (result) *result = 0;
                return true;
            }
        }
        return false;
    } catch (...) {
        return false;
    }
}

int CVideoCaptureCapsWindows::GetDeviceCount() {
    try {
        return DeviceInfoWindows::GetDeviceCount();
    } catch (...) {
        return 0;
    }
}

int CVideoCaptureCapsWindows::GetDeviceNameAt(int index, char* name, char* uniqueId) {
    // Nothing may leave the plug-in as an exception.
    try {
        if (index < 0) return -1;
        return DeviceInfoWindows::GetDeviceNameAt(static_cast<uint32_t>(index), name, name ? 128 : 0, uniqueId,
                                                  uniqueId ? 128 : 0, nullptr, 0);
    } catch (...) {
        return -1;
    }
}

int CVideoCaptureCapsWindows::GetCapabilityCount(const char* uniqueId) {
    // Nothing may leave the plug-in as an exception.
    try {
        Poco::Mutex::ScopedLock lock(m_apiLock);
        return CreateCapabilityMap(uniqueId);
    } catch (...) {
        return -1;
    }
}

int CVideoCaptureCapsWindows::GetCapabilityAt(const char* uniqueId, int index, CapsEntry* out) {
    // Nothing may leave the plug-in as an exception.
    try {
        Poco::Mutex::ScopedLock lock(m_apiLock);
        const int size = CreateCapabilityMap(uniqueId);
        if (!out || index < 0 || index >= size) return -1;
        auto it = m_captureCapabilities.find(index);
        if (it == m_captureCapabilities.end() || !it->second) return -1;
        const CameraCapability& cap = *it->second;
        out->width = cap.width;
        out->height = cap.height;
        out->fps = cap.maxFps;
        out->format = CameraTypeToEngineFormat(cap.pixelType);
        return 0;
    } catch (...) {
        return -1;
    }
}

}  // namespace Orvane
