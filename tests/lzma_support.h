// LZMA patch bodies for tests: one stream without an end marker, as the
// builder's -o=lzma writes it, made by the LZMA SDK's encoder in one go.
#pragma once

#include <cstdint>
#include <string>

#include "patchformat/container.h"

namespace testing_support {

// `body` as one LZMA stream. `header` becomes an LZMA body's header: the
// version, the flag (beside its other flags, the deflate flag taken off),
// the stream's properties and the body's size. The dictionary is as large
// as the body (at least 4 KiB) unless `dictionary` is given; `fast` makes
// long bodies of repeated bytes quick to encode.
std::string lzmaPack(const std::string& body, patchformat::PatchHeader* header, std::uint32_t dictionary = 0,
                     bool fast = false);

}  // namespace testing_support
