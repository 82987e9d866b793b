// The capture half of the camera plug-in (libCamPort.so) as the engine sees it.
//
// Binary contract: slots are only ever appended, never reordered or changed, and callbacks
// into a host are opt-in (made only through interfaces the host registered).
//
// The engine loads the library by file name (dlopen) and binds the exported factories below
// with dlsym under their plain names (the PFN_* types and k*Name texts are given for that).
// Every object a factory returns belongs to the engine until it hands it to the matching
// destroyer; never delete it any other way. Strings are UTF-8. Nothing throws.
//
// Cameras: the plug-in lists the machine's V4L2 cameras (/dev/video*). Besides those it lists
// the pattern cameras named in the environment variable CAMPORT_PATTERN_CAMERAS (read when a
// capture or capability object is created), each of which plays a media file as a camera:
//
//   CAMPORT_PATTERN_CAMERAS = camera [ "|" camera ]...
//   camera  = file [ "," format ]...          formats default to YUY2:640x480@30
//   format  = TYPE ":" W "x" H "@" FPS         TYPE: I420 IYUV YUY2 UYVY HDYC RGB24 RGB565
//                                                     MJPG NV12
//
// Pattern camera N (from 0) is named "Pattern Camera N" with unique id "pattern:N:<file>".
//
// Renderer exports (CreateWinVideoRenderer / DestroyWinVideoRenderer) belong to the renderer
// half and live in their own header once built.
#pragma once

#include "camport/CameraTypes.h"
#include "common/buffer.h"

namespace Orvane {

// Implemented by the engine; receives every captured frame.
// Threads: called on the plug-in's streaming thread "capture_thread". The packet and the info
// are valid only during the call: take what is needed before returning.
class CameraFrameSink {
public:
    // packet content: the frame bytes (I420 planes Y, U, V when info->format is 1). The result
    // is not used.
    /* 0 */ virtual int OnCameraFrame(const CapturedFrameInfo* info, Common::CDataPacket* packet) = 0;

protected:
    ~CameraFrameSink() = default;
};

// What the plug-in's sink side calls on the capture object with each frame (internal to the
// plug-in; listed so that the capture object's layout is complete).
// Threads: the streaming thread.
class VideoCaptureExternal {
public:
    // Describes the frame (format by the engine table, size truncated to 16 bits, flags 1,
    // timestamp now) and passes it to the engine's sink, when one is set. Always 0.
    /* 0 */ virtual int DeliverFrame(Common::CDataPacket* packet, const CameraCapability* format, int, int) = 0;
    // Does nothing; 0.
    /* 1 */ virtual int Reserved1(int, int, int) = 0;

protected:
    ~VideoCaptureExternal() = default;
};

// What capture and capability objects have in common: their virtual destructor comes first,
// so one destroyer serves both.
class CaptureObject {
public:
    /* 0 */ virtual ~CaptureObject() = default;
};

// One camera capture, from CreateWinVideoCapture.
// Threads: any engine thread, one call at a time for SetCaptureDev; StartCapture and
// StopCapture are serialised inside.
class VideoCapturePlatform : public CaptureObject {
public:
    /* 0 */ ~VideoCapturePlatform() override = default;
    // Opens the device and stores the request (format: EnginePixelFormat code; a code without
    // a plug-in type keeps the type stored before, initially unknown). False when the device
    // cannot be opened (nothing else changes then).
    /* 1 */ virtual bool SetCaptureDev(const char* uniqueId, int width, int height, int fps, int format) = 0;
    // Configures the camera to the best match of the request (only when the request changed
    // since the last start) and runs it; frames then reach sink on "capture_thread". The sink
    // is kept until the object is destroyed. False when not configured or not running.
    /* 2 */ virtual bool StartCapture(CameraFrameSink* sink) = 0;
    // Pauses the camera; frame delivery ends. Always false.
    /* 3 */ virtual bool StopCapture() = 0;
};

// The camera list with each camera's formats, from CreateWinVideoCaptureCaps.
// Threads: any engine thread; calls are serialised inside.
class VideoCaptureCapsPlatform : public CaptureObject {
public:
    /* 0 */ ~VideoCaptureCapsPlatform() override = default;
    // True (and *result = 0) when a listed camera's unique id agrees with deviceId over the
    // shorter of the two lengths. False for ids shorter than 2 characters.
    /* 1 */ virtual bool HasDevice(const char* deviceId, int* result) = 0;
    /* 2 */ virtual int GetDeviceCount() = 0;
    // name and uniqueId must each hold 128 bytes. 0, or -1 when index is not below the count.
    /* 3 */ virtual int GetDeviceNameAt(int index, char* name, char* uniqueId) = 0;
    // Number of formats of the camera (the list is read afresh), or -1.
    /* 4 */ virtual int GetCapabilityCount(const char* uniqueId) = 0;
    // Fills out with format index (its engine format, -1 when none). 0, or -1.
    /* 5 */ virtual int GetCapabilityAt(const char* uniqueId, int index, CapsEntry* out) = 0;
};

}  // namespace Orvane

#define CAMPORT_EXPORT extern "C" __attribute__((visibility("default")))

// Creates a capture object; null only when memory runs out.
CAMPORT_EXPORT Orvane::VideoCapturePlatform* CreateWinVideoCapture();
// Destroys a capture or capability object through its virtual destructor; null is accepted.
// DestroyWinVideoCapture and DestroyWinVideoCaptureCaps are two names of this one function.
CAMPORT_EXPORT void DestroyWinVideoCapture(Orvane::CaptureObject* object);
// Creates a capability object; null only when memory runs out.
CAMPORT_EXPORT Orvane::VideoCaptureCapsPlatform* CreateWinVideoCaptureCaps();
CAMPORT_EXPORT void DestroyWinVideoCaptureCaps(Orvane::CaptureObject* object);

typedef Orvane::VideoCapturePlatform* (*PFN_CreateWinVideoCapture)();
typedef void (*PFN_DestroyWinVideoCapture)(Orvane::VideoCapturePlatform*);
typedef Orvane::VideoCaptureCapsPlatform* (*PFN_CreateWinVideoCaptureCaps)();
typedef void (*PFN_DestroyWinVideoCaptureCaps)(Orvane::VideoCaptureCapsPlatform*);

// File name of the plug-in and the symbol names to bind.
#define CAMPORT_LIBRARY_NAME "libCamPort.so"
#define CAMPORT_CREATE_CAPTURE_NAME "CreateWinVideoCapture"
#define CAMPORT_DESTROY_CAPTURE_NAME "DestroyWinVideoCapture"
#define CAMPORT_CREATE_CAPS_NAME "CreateWinVideoCaptureCaps"
#define CAMPORT_DESTROY_CAPS_NAME "DestroyWinVideoCaptureCaps"
