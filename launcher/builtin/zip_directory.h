// The central directory of a ZIP archive, read as the one truth about its
// members. Every length and offset it gives is checked against the file
// before anything is read or allocated by it, so that a forged record can
// cost no more memory than the real directory holds.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "launcher/builtin/unzip_problem.h"

struct CentralEntry {
  std::string rawName;     // the name field's bytes
  std::string extraField;  // the central extra field
  uint8_t hostSystem = 0;  // the high byte of "version made by"
  uint8_t versionNeeded = 0;
  uint16_t flags = 0, method = 0;
  uint32_t dosDateTime = 0, crc = 0, externalAttributes = 0;
  uint64_t compressedSize = 0, size = 0;
  uint64_t localHeaderOffset = 0;  // from the start of the file: the archive's own offset
                                   // plus any bytes found before the archive
};

// A stretch of the file [begin, end) that belongs to one part of the archive.
struct FileSpan {
  uint64_t begin = 0, end = 0;
};

struct ZipDirectory {
  std::vector<CentralEntry> entries;
  // What the end records, the directory and any bytes before the archive
  // occupy; no member may lie there.
  std::vector<FileSpan> reserved;
  // Something odd that unzip warns of but unpacks anyway (bytes before the
  // archive, whose offsets then count from a later start; no members).
  UnzipProblem warning;
};

// Reads the directory of the archive in the open, seekable `archive` of
// `fileSize` bytes. The entry count must match the end record, the
// directory must lie within the file before the end records, and each
// entry's fields must fit the directory. Returns the first failure; a
// warning goes to `directory->warning`.
UnzipProblem readZipDirectory(int archive, uint64_t fileSize, ZipDirectory* directory);
