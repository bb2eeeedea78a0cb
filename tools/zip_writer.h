// Streams files into a ZIP archive of stored members that may sit after a
// verbatim prefix (the launcher image) in the same file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/file_io.h"
#include "tools/zip_records.h"

namespace packer {

// Appends to a fresh, empty file. Every offset it records counts from the
// start of that file, prefix included, so readers need no adjustment. It
// never writes a size or offset field that would pass zipFieldLimit.
class ZipWriter {
 public:
  // `name` labels the output file in messages.
  ZipWriter(int fd, std::string name);

  // Copies `input` verbatim; only valid before the first member.
  Error addPrefix(const InputFile& input);
  // Streams `input` as a stored member called `memberName`, computing its
  // CRC-32 on the way and filling it into the local header afterwards.
  Error addStoredMember(const std::string& memberName, const InputFile& input);
  // Writes the central directory and the end record, which ends the file.
  Error finish();

 private:
  Error append(const std::string& bytes);
  Error copy(const InputFile& input, uint32_t& crc);

  int fd_;
  std::string name_;
  uint64_t offset_ = 0;
  std::vector<ZipMember> members_;
};

}  // namespace packer
