// The extra field of a ZIP header: its blocks, and the two that change what a
// member is called or how large it is (ZIP64 values, Info-ZIP's Unicode path).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "launcher/builtin/zip_format.h"

// Calls `take(id, data)` for each block of `field` in order. A block whose
// length runs past the field's end ends the walk there, as unzip ends it.
template <typename Take>
void forEachExtraBlock(std::string_view field, Take take) {
  using namespace zipformat;
  while (field.size() >= extraHeaderSize) {
    auto bytes = reinterpret_cast<const unsigned char*>(field.data());
    uint16_t id = little16(bytes), length = little16(bytes + 2);
    if (length > field.size() - extraHeaderSize) return;
    take(id, field.substr(extraHeaderSize, length));
    field.remove_prefix(extraHeaderSize + length);
  }
}

// The ZIP64 values of a header whose plain fields held all ones: each
// pointer is given only for such a field, and the values follow in the
// order size, compressed size, offset. False when the ZIP64 block is
// missing or too short for them.
bool readZip64Values(std::string_view field, uint64_t* size, uint64_t* compressedSize,
                     uint64_t* offset);

// The name in an Info-ZIP Unicode path block of `field` that vouches for
// `rawName` (version 1, the CRC-32 of `rawName`); `rawName` itself when the
// block's name is empty; nothing when there is no such block.
std::optional<std::string> unicodePath(std::string_view field, std::string_view rawName);
