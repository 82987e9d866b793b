// Camera devices and their capabilities: the device walk over the device layer, the
// capability list of one device at a time and the best-format choice.
//
// Threads: every public operation may be called from any thread; the capability list and the
// remembered device id are guarded by one recursive mutex, held for each whole operation.
#pragma once

#include "Capture/device_layer.h"
#include "camport/IVideoCapture.h"
#include "common/ovtypes.h"

#include <Poco/Mutex.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace Orvane {

// The capability list and the operations on it that do not touch the platform.
class DeviceInfoImpl {
public:
    DeviceInfoImpl() = default;
    virtual ~DeviceInfoImpl();
    DeviceInfoImpl(const DeviceInfoImpl&) = delete;
    DeviceInfoImpl& operator=(const DeviceInfoImpl&) = delete;

    // List size after rebuilding it for a device other than the remembered one; -1 for none.
    virtual int32_t NumberOfCapabilities(const char* uniqueId);
    // 0 with the first five fields of capability number copied, or -1.
    virtual int32_t GetCapability(const char* uniqueId, uint32_t number, CameraCapability& out);
    // Index of the best match for requested with its fields in resulting, or -1.
    virtual int32_t FindBestCapability(const char* uniqueId, const CameraCapability& requested,
                                       CameraCapability& resulting);
    // Not supported: *value = 0, -1.
    virtual int32_t QueryDeviceValue(const char* uniqueId, int32_t property, int32_t* value);
    virtual int32_t CreateDeviceEnumerator() = 0;
    virtual int32_t CreateCapabilityMap(const char* uniqueId) = 0;

    // The full stored capability of index (with streamCapsIndex and frameRateControl), under
    // the list mutex. False when there is none.
    bool GetStoredCapability(int32_t index, CameraCapability& out);
    Poco::Mutex& ListMutex() { return m_apiLock; }

protected:
    // True when uniqueId names the device whose list is held (case-insensitive, same length).
    bool IsRememberedDevice(const char* uniqueId) const;
    void RememberDevice(const char* uniqueId);
    void ClearCapabilities();

    std::map<int32_t, std::unique_ptr<CameraCapability>> m_captureCapabilities;
    std::string m_lastUsedDeviceName;  // unique id of the device whose list is held
    bool m_bDeviceRemembered = false;
    Poco::Mutex m_apiLock;  // recursive
};

// The device walk and capability reading over a device layer.
class DeviceInfoWindows : public DeviceInfoImpl {
public:
    explicit DeviceInfoWindows(std::shared_ptr<camdev::IDeviceLayer> layer);
    ~DeviceInfoWindows() override;

    int32_t CreateDeviceEnumerator() override;
    int32_t CreateCapabilityMap(const char* uniqueId) override;
    virtual int32_t GetDeviceCount();
    virtual int32_t GetDeviceNameAt(uint32_t index, char* name, uint32_t nameLen, char* uniqueId, uint32_t idLen,
                                    char* productId, uint32_t productLen);
    // The device layer has no settings dialog: finds the device and returns -1.
    virtual int32_t ShowDeviceSettingsDialog(const char* uniqueId, const char* titleUtf8, OvHwnd parent, uint32_t x,
                                             uint32_t y);

    // The device of uniqueId (matched by its "DevicePath", else its name, over the id's
    // length), opened; null when there is none. The caller owns it.
    std::unique_ptr<camdev::ICaptureDevice> GetDeviceFilter(const char* uniqueId, char* productId,
                                                            uint32_t productLen);
    camdev::IDeviceLayer* Layer() const { return m_layer.get(); }

private:
    int32_t GetDeviceInfo(uint32_t index, char* name, uint32_t nameLen, char* uniqueId, uint32_t idLen,
                          char* productId, uint32_t productLen);

    std::shared_ptr<camdev::IDeviceLayer> m_layer;     // the device enumerator
    camdev::IDeviceLayer* m_dsDevEnum = nullptr;       // set by CreateDeviceEnumerator
    std::vector<std::unique_ptr<camdev::IDeviceMoniker>> m_dsMonikerDevEnum;  // last enumeration
};

// The object behind the exported capability interface.
class CVideoCaptureCapsWindows : public VideoCaptureCapsPlatform, public DeviceInfoWindows {
public:
    explicit CVideoCaptureCapsWindows(std::shared_ptr<camdev::IDeviceLayer> layer);
    ~CVideoCaptureCapsWindows() override;

    bool HasDevice(const char* deviceId, int* result) override;
    int GetDeviceCount() override;
    int GetDeviceNameAt(int index, char* name, char* uniqueId) override;
    int GetCapabilityCount(const char* uniqueId) override;
    int GetCapabilityAt(const char* uniqueId, int index, CapsEntry* out) override;
};

}  // namespace Orvane
