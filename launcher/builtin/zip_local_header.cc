#include "launcher/builtin/zip_local_header.h"

#include <string>

#include "launcher/builtin/file_window.h"
#include "launcher/builtin/zip_extra_field.h"
#include "launcher/builtin/zip_format.h"
#include "launcher/builtin/zip_member_name.h"

using namespace zipformat;

namespace {

// The flags that change how a member is read or named.
constexpr uint16_t comparedFlags = encryptedFlag | dataDescriptorFlag | utf8NameFlag;

UnzipProblem mismatch(const CentralEntry& entry, const std::string& field) {
  return problemWith(UnzipResult::damaged, entry.rawName,
                     "its local header does not match the central directory (" + field + ")");
}

// The CRC-32 and sizes of the local header, its ZIP64 values in place of
// all-ones fields; false when those are missing.
bool localValues(const unsigned char* fixed, const std::string& extra, uint32_t* crc,
                 uint64_t* compressed, uint64_t* size) {
  *crc = little32(fixed + local::crc);
  *compressed = little32(fixed + local::compressedSize);
  *size = little32(fixed + local::size32);
  bool wide = *size == fieldLimit || *compressed == fieldLimit;
  return readZip64Values(extra, *size == fieldLimit ? size : nullptr,
                         *compressed == fieldLimit ? compressed : nullptr, nullptr) ||
         !wide;
}

UnzipProblem compare(const CentralEntry& entry, const unsigned char* fixed, const std::string& name,
                     const std::string& extra) {
  uint16_t flags = little16(fixed + local::flags);
  if (little16(fixed + local::method) != entry.method) return mismatch(entry, "method");
  if ((flags & comparedFlags) != (entry.flags & comparedFlags)) return mismatch(entry, "flags");
  if (name != entry.rawName) return mismatch(entry, "name");
  if (memberName(name, extra, flags & utf8NameFlag) !=
      memberName(entry.rawName, entry.extraField, entry.flags & utf8NameFlag))
    return mismatch(entry, "Unicode name");
  if (entry.method == storedMethod && entry.compressedSize != entry.size)
    return problemWith(UnzipResult::damaged, entry.rawName, "its stored sizes differ");
  if (entry.flags & dataDescriptorFlag) return {};  // written after the data
  uint32_t crc;
  uint64_t compressed, size;
  if (!localValues(fixed, extra, &crc, &compressed, &size)) return mismatch(entry, "ZIP64 sizes");
  if (crc != entry.crc) return mismatch(entry, "CRC-32");
  if (compressed != entry.compressedSize || size != entry.size) return mismatch(entry, "sizes");
  return {};
}

}  // namespace

UnzipProblem readLocalHeader(int archive, uint64_t fileSize, const CentralEntry& entry,
                             LocalHeader* header) {
  uint64_t at = entry.localHeaderOffset;
  unsigned char fixed[local::size];
  if (at > fileSize || fileSize - at < local::size ||
      !readFully(archive, at, fixed, sizeof fixed) || little32(fixed) != localHeaderSignature)
    return problemWith(UnzipResult::damaged, entry.rawName, "its local header is missing");
  size_t nameLength = little16(fixed + local::nameLength),
         extraLength = little16(fixed + local::extraLength);
  uint64_t dataOffset = at + local::size + nameLength + extraLength;
  if (dataOffset > fileSize || fileSize - dataOffset < entry.compressedSize)
    return problemWith(UnzipResult::damaged, entry.rawName,
                       "its data runs past the end of the file");
  std::string variable(nameLength + extraLength, '\0');
  if (!readFully(archive, at + local::size, variable.data(), variable.size()))
    return problemWith(UnzipResult::damaged, entry.rawName, "its local header cannot be read");
  std::string name = variable.substr(0, nameLength), extra = variable.substr(nameLength);
  if (UnzipProblem problem = compare(entry, fixed, name, extra)) return problem;
  header->dataOffset = dataOffset;
  header->times = memberTimes(extra, little32(fixed + local::dosTime));
  return {};
}
