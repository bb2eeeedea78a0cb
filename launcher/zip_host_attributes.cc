#include "launcher/zip_host_attributes.h"

#include <unistd.h>

#include <string_view>
#include <vector>

namespace {

constexpr uint32_t endSignature = 0x06054b50, end64Signature = 0x06064b50,
                   locatorSignature = 0x07064b50, entrySignature = 0x02014b50;
constexpr size_t endSize = 22, locatorSize = 20, entrySize = 46, longestComment = 0xffff;

uint64_t little(const unsigned char* bytes, int count) {
  uint64_t value = 0;
  for (int i = count - 1; i >= 0; --i) value = value << 8 | bytes[i];
  return value;
}

bool readAt(int fd, uint64_t offset, size_t size, std::vector<unsigned char>* bytes) {
  bytes->resize(size);
  for (size_t done = 0; done < size;) {
    ssize_t count = pread(fd, bytes->data() + done, size - done, offset + done);
    if (count <= 0) return false;
    done += count;
  }
  return true;
}

struct Directory {
  uint64_t offset = 0, size = 0;
};

// Where the central directory lies, from the end record (and the ZIP64 one
// that it points to), with the offset corrected for an archive that was
// appended to other data without its offsets being moved.
bool findDirectory(int fd, Directory* found) {
  off_t fileSize = lseek(fd, 0, SEEK_END);
  if (fileSize < static_cast<off_t>(endSize)) return false;
  uint64_t tail = std::min<uint64_t>(fileSize, endSize + longestComment);
  std::vector<unsigned char> bytes;
  if (!readAt(fd, fileSize - tail, tail, &bytes)) return false;
  for (size_t at = tail - endSize + 1; at-- > 0;) {
    const unsigned char* end = bytes.data() + at;
    if (little(end, 4) != endSignature) continue;
    uint64_t endOffset = fileSize - tail + at;
    found->size = little(end + 12, 4), found->offset = little(end + 16, 4);
    if (found->offset == 0xffffffff && endOffset >= locatorSize + 56) {
      std::vector<unsigned char> locator, end64;
      if (!readAt(fd, endOffset - locatorSize, locatorSize, &locator) ||
          little(locator.data(), 4) != locatorSignature ||
          !readAt(fd, little(locator.data() + 8, 8), 56, &end64) ||
          little(end64.data(), 4) != end64Signature)
        return false;
      found->size = little(end64.data() + 40, 8), found->offset = little(end64.data() + 48, 8);
      endOffset -= locatorSize + 56;
    }
    if (found->offset + found->size != endOffset && endOffset >= found->size)
      found->offset = endOffset - found->size;
    return true;
  }
  return false;
}

}  // namespace

std::map<std::string, ZipHostAttributes> readZipHostAttributes(int archive) {
  std::map<std::string, ZipHostAttributes> members;
  Directory directory;
  std::vector<unsigned char> bytes;
  if (!findDirectory(archive, &directory) || !readAt(archive, directory.offset, directory.size, &bytes))
    return members;
  for (size_t at = 0; at + entrySize <= bytes.size();) {
    const unsigned char* entry = bytes.data() + at;
    if (little(entry, 4) != entrySignature) break;
    size_t nameLength = little(entry + 28, 2);
    size_t length = entrySize + nameLength + little(entry + 30, 2) + little(entry + 32, 2);
    if (at + length > bytes.size()) break;
    std::string name(reinterpret_cast<const char*>(entry + entrySize), nameLength);
    members[name] = {entry[5], static_cast<uint32_t>(little(entry + 38, 4))};
    at += length;
  }
  return members;
}

unsigned unzipPermissions(const ZipHostAttributes& attributes, bool isDirectory, unsigned umask) {
  enum : uint8_t { fat = 0, vms = 2, unix = 3, atari = 5, qdos = 12, acorn = 13, beos = 16,
                   tandem = 17, atheos = 30 };
  unsigned unixMode = attributes.external >> 16;
  switch (attributes.madeBy) {
    case unix: case vms: case acorn: case atari: case atheos: case beos: case qdos: case tandem:
      return unixMode & 0777;
    default:
      break;
  }
  // Elsewhere only the MS-DOS bits count: read-only takes the write bits, a
  // directory gets the search bits. PKZip for Unix marks its members as
  // MS-DOS ones but keeps Unix modes too, which are taken when they agree.
  uint32_t dos = attributes.external | (isDirectory ? 0x10 : 0);
  unsigned writable = (dos & 1) == 0, directory = (dos & 0x10) != 0;
  unsigned flags = writable << 1 | directory;
  if (attributes.madeBy == fat && (unixMode & 0700) == (0400 | flags << 6)) return unixMode & 0777;
  return (0444 | flags << 6 | flags << 3 | flags) & ~umask;
}
