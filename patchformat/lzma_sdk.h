// The LZMA SDK's C coder as this project includes it: its types header takes
// in <windows.h> on Windows, so without min/max macros and the rarely used
// parts. One allocator (malloc and free) for the decoder and the encoder.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
extern "C" {
#include <LzmaDec.h>
#include <LzmaEnc.h>
}

namespace patchformat {

ISzAllocPtr lzmaAllocator();

}  // namespace patchformat
