#include "tools/zip_writer.h"

#include <zlib.h>

#include <algorithm>
#include <utility>

namespace packer {

namespace {

constexpr size_t chunkSize = 1 << 20;

// The times and owner `input` had when it was opened.
FileStamp stampOf(const InputFile& input) {
  FileStamp stamp;
  stamp.modified = input.info.st_mtim.tv_sec;
  stamp.accessed = input.info.st_atim.tv_sec;
  stamp.uid = input.info.st_uid;
  stamp.gid = input.info.st_gid;
  return stamp;
}

// `value` as the four bytes a ZIP field holds.
std::string littleEndian32(uint32_t value) {
  std::string out(4, '\0');
  for (size_t i = 0; i < 4; ++i) out[i] = static_cast<char>(value >> (8 * i));
  return out;
}

}  // namespace

ZipWriter::ZipWriter(int fd, std::string name, bool forceZip64)
    : fd_(fd), name_(std::move(name)), forceZip64_(forceZip64) {}

Error ZipWriter::addPrefix(const InputFile& input) {
  if (!members_.empty()) return Error{"the launcher image must come before the members"};
  uint32_t unused = 0;
  return copy(input, unused);
}

Error ZipWriter::addStoredMember(const std::string& memberName, const InputFile& input) {
  // The size is the one fstat gave at opening and copy() writes exactly
  // that many bytes, so the ZIP64 extra the size calls for is known up front.
  ZipMember member;
  member.name = memberName;
  member.size = input.size();
  member.localHeaderOffset = offset_;
  member.stamp = stampOf(input);
  member.forceZip64 = forceZip64_;
  // The CRC is zero until the data has streamed past; then it is patched in.
  if (Error error = append(localHeader(member))) return error;
  if (Error error = copy(input, member.crc)) return error;
  std::string crc = littleEndian32(member.crc);
  uint64_t crcAt = member.localHeaderOffset + localHeaderCrcOffset;
  if (Error error = writeAllAt(fd_, crcAt, crc.data(), crc.size(), name_)) return error;
  members_.push_back(std::move(member));
  return {};
}

Error ZipWriter::finish() {
  std::string directory;
  for (const ZipMember& member : members_) directory += centralEntry(member);
  // A member whose size or offset needs ZIP64 puts the directory past the
  // plain limit too, so the directory's own position decides the end records.
  DirectoryEnd end;
  end.entries = members_.size();
  end.directorySize = directory.size();
  end.directoryOffset = offset_;
  end.forceZip64 = forceZip64_;
  if (Error error = append(directory)) return error;
  return append(directoryEnd(end));
}

Error ZipWriter::append(const std::string& bytes) {
  if (Error error = writeAll(fd_, bytes.data(), bytes.size(), name_)) return error;
  offset_ += bytes.size();
  return {};
}

// Copies exactly the size `input` had when it was opened, so the sizes in
// the headers always match the bytes written.
Error ZipWriter::copy(const InputFile& input, uint32_t& crc) {
  std::vector<char> buffer(chunkSize);
  uLong running = crc32(0L, Z_NULL, 0);
  for (uint64_t done = 0; done < input.size();) {
    size_t length = static_cast<size_t>(std::min<uint64_t>(chunkSize, input.size() - done));
    if (Error error = readExactly(input, done, buffer.data(), length)) return error;
    running =
        crc32(running, reinterpret_cast<const Bytef*>(buffer.data()), static_cast<uInt>(length));
    if (Error error = writeAll(fd_, buffer.data(), length, name_)) return error;
    done += length;
    offset_ += length;
  }
  crc = static_cast<uint32_t>(running);
  return {};
}

}  // namespace packer
