// The capture formats of a camera, read from the camera plug-in (libCamPort.so) that the
// capture engine loads: the engine lists cameras by name and id but not what each can deliver.
//
// Threads: any thread (the plug-in serialises its calls inside).
#pragma once

#include <string>
#include <vector>

namespace streamaddon {

struct CameraFormat {
    int width = 0;
    int height = 0;
    int fps = 0;
    // "I420", "YUY2", "UYVY", "IYUV", "RGB24", "RGB565", "MJPG", or "unknown".
    std::string format;
};

// The formats of the camera with this unique id (the engine's uniName of the camera), in the
// plug-in's order; empty when the plug-in is missing or does not know the camera.
std::vector<CameraFormat> CameraFormats(const std::string& cameraId);

// The name of an engine pixel-format code.
const char* PixelFormatName(int engineFormat);

}  // namespace streamaddon
