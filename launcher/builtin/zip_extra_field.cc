#include "launcher/builtin/zip_extra_field.h"

#include <zlib.h>

bool readZip64Values(std::string_view field, uint64_t* size, uint64_t* compressedSize,
                     uint64_t* offset) {
  std::optional<std::string_view> block;
  forEachExtraBlock(field, [&](uint16_t id, std::string_view data) {
    if (id == zipformat::zip64ExtraId && !block) block = data;
  });
  if (!block) return false;
  for (uint64_t* value : {size, compressedSize, offset}) {
    if (value == nullptr) continue;
    if (block->size() < 8) return false;
    *value = zipformat::little64(reinterpret_cast<const unsigned char*>(block->data()));
    block->remove_prefix(8);
  }
  return true;
}

std::optional<std::string> unicodePath(std::string_view field, std::string_view rawName) {
  constexpr size_t headerSize = 5;  // version, then the CRC-32 of the plain name
  std::optional<std::string> name;
  forEachExtraBlock(field, [&](uint16_t id, std::string_view data) {
    if (name || id != zipformat::unicodePathId || data.size() < headerSize || data[0] != 1) return;
    auto bytes = reinterpret_cast<const unsigned char*>(data.data());
    uint32_t crc = static_cast<uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(rawName.data()), rawName.size()));
    if (zipformat::little32(bytes + 1) != crc) return;  // made for another name
    std::string_view unicode = data.substr(headerSize);
    name = std::string(unicode.empty() ? rawName : unicode);
  });
  return name;
}
