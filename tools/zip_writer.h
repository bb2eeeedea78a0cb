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
// start of that file, prefix included, so readers need no adjustment. Values
// that do not fit the plain 32-bit fields go into ZIP64 records; without such
// values (and without forceZip64) the archive is a plain one.
class ZipWriter {
 public:
  // `name` labels the output file in messages; `forceZip64` writes the ZIP64
  // records for every member and the archive's end even when nothing needs them.
  ZipWriter(int fd, std::string name, bool forceZip64 = false);

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
  bool forceZip64_;
  uint64_t offset_ = 0;
  std::vector<ZipMember> members_;
};

}  // namespace packer
