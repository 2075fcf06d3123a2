#pragma once
// Pictures made to cost a decoder time and memory, encoded by libjpeg directly so that a test can
// choose the progression.
#include "platform/bytes.h"

namespace oakenmere::testing {

// A grey picture with a gradient: `scans` as given, the library's ordinary progressive script
// (-1), or baseline (0). A low quality makes a large picture a small file.
platform::Bytes jpegPicture(int width, int height, int scans, int quality = 75);

// `bytes` with the start-of-frame dimensions rewritten: a small file whose header claims a huge
// picture.
platform::Bytes jpegClaiming(platform::Bytes bytes, int width, int height);

}  // namespace oakenmere::testing
