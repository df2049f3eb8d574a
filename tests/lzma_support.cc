#include "tests/lzma_support.h"

#include <algorithm>
#include <stdexcept>

#include "patchformat/lzma_sdk.h"

namespace testing_support {
std::string lzmaPack(const std::string& body, patchformat::PatchHeader* header, std::uint32_t dictionary, bool fast) {
  CLzmaEncProps props;
  LzmaEncProps_Init(&props);
  props.level = fast ? 1 : 5;
  const std::uint64_t wanted = dictionary != 0 ? dictionary : body.size();
  props.dictSize =
      static_cast<std::uint32_t>(std::clamp<std::uint64_t>(wanted, 1u << 12, patchformat::kLzmaLargestDictionary));
  props.writeEndMark = 0;
  props.numThreads = 1;
  std::string out(body.size() + body.size() / 2 + 1024, '\0');
  SizeT outSize = out.size();
  SizeT propertiesSize = patchformat::kLzmaPropertiesSize;
  if (LzmaEncode(reinterpret_cast<Byte*>(&out[0]), &outSize, reinterpret_cast<const Byte*>(body.data()), body.size(),
                 &props, header->lzmaProperties, &propertiesSize, 0, nullptr, patchformat::lzmaAllocator(),
                 patchformat::lzmaAllocator()) != SZ_OK ||
      propertiesSize != patchformat::kLzmaPropertiesSize) {
    throw std::runtime_error("lzmaPack: the encoder failed");
  }
  out.resize(outSize);
  header->markLzmaBody(patchformat::formatSize(body.size()));
  return out;
}

}  // namespace testing_support
