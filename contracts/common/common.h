// Everything of the support library in one include.
#pragma once

#include "common/buffer.h"
#include "common/bytestream.h"
#include "common/ovtypes.h"
#include "common/slogger.h"
#include "common/thread.h"
#include "common/util.h"
