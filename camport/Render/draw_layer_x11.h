// The X11 backend of the drawing layer.
//
// - A device is one connection to the X server named by DISPLAY (XOpenDisplay).
// - The primary surface is the window itself: drawing goes into it with a GC, so the server
//   clips to the window. The device follows the window's size (ConfigureNotify) and counts a
//   destroyed window (DestroyNotify, BadWindow / BadDrawable) or a change of the screen's size
//   (ConfigureNotify of the root, what a RandR change gives) as lost surfaces.
// - Offscreen surfaces are process memory: YV12 (Y, V, U planes) or 32-bit RGB (B, G, R, X).
// - A blit scales the source to the target rectangle with libyuv (bilinear), converts it to
//   the window's 32-bit pixels and sends the visible part with MIT-SHM (XShmPutImage) when
//   the server offers shared memory to this client, with XPutImage otherwise.
// - Capabilities: a 24-bit TrueColor default visual stored in 32 bits is required. With
//   shared memory the device reports filtered stretching in video memory, without it from
//   system memory; YV12 is always listed, since I420 is converted at blit time.
// The layer's connections are opened through the process's X error trap: their errors are
// kept for the code that caused them, and a server that goes away counts as lost surfaces
// instead of ending the process.
#pragma once

#include "Render/draw_layer.h"

#include <memory>

namespace Orvane {
namespace render {

std::shared_ptr<IDrawLayer> CreateX11DrawLayer();

}  // namespace render
}  // namespace Orvane
