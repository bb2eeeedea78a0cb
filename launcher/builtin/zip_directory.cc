#include "launcher/builtin/zip_directory.h"

#include <algorithm>
#include <optional>

#include "launcher/builtin/file_window.h"
#include "launcher/builtin/zip_extra_field.h"
#include "launcher/builtin/zip_format.h"

using namespace zipformat;

namespace {

UnzipProblem damagedDirectory(std::string what) {
  return problemWith(UnzipResult::badDirectory, "", std::move(what));
}

// What the end records say, with ZIP64 values in place of all-ones fields.
struct EndRecords {
  uint64_t endOffset = 0;     // of the plain end record
  uint64_t recordsStart = 0;  // of the first end record (ZIP64 or plain)
  uint64_t recordsEnd = 0;    // past the plain record's comment
  std::optional<FileSpan> zip64Record;
  uint64_t thisDisk = 0, directoryDisk = 0, entriesOnDisk = 0, entries = 0;
  uint64_t directorySize = 0, directoryOffset = 0;
};

// The last end record signature that leaves room for a whole record.
std::optional<uint64_t> findEndRecord(int archive, uint64_t fileSize) {
  if (fileSize < end::size) return std::nullopt;
  uint64_t tailSize = std::min<uint64_t>(fileSize, end::search);
  std::vector<unsigned char> tail(tailSize);
  if (!readFully(archive, fileSize - tailSize, tail.data(), tail.size())) return std::nullopt;
  for (size_t at = tailSize - end::size + 1; at-- > 0;)
    if (little32(tail.data() + at) == endRecordSignature) return fileSize - tailSize + at;
  return std::nullopt;
}

bool readEndRecord(int archive, uint64_t fileSize, uint64_t offset, EndRecords* records) {
  unsigned char bytes[end::size];
  if (!readFully(archive, offset, bytes, sizeof bytes)) return false;
  records->endOffset = records->recordsStart = offset;
  records->recordsEnd =
      std::min(fileSize, offset + end::size + little16(bytes + end::commentLength));
  records->thisDisk = little16(bytes + end::thisDisk);
  records->directoryDisk = little16(bytes + end::directoryDisk);
  records->entriesOnDisk = little16(bytes + end::entriesOnDisk);
  records->entries = little16(bytes + end::entries);
  records->directorySize = little32(bytes + end::directorySize);
  records->directoryOffset = little32(bytes + end::directoryOffset);
  return true;
}

// The ZIP64 end record where the locator says, or right before the locator
// when the archive was moved behind other data; nothing when neither holds
// one or the locator points past itself.
std::optional<uint64_t> findZip64Record(int archive, uint64_t locatorOffset, uint64_t claimed,
                                        unsigned char (&record)[end64::size]) {
  if (claimed > locatorOffset) return std::nullopt;
  for (uint64_t at : {claimed, locatorOffset - end64::size}) {
    if (at > locatorOffset || locatorOffset - at < end64::size) continue;
    if (readFully(archive, at, record, sizeof record) &&
        little32(record) == zip64EndRecordSignature)
      return at;
  }
  return std::nullopt;
}

// A plain value agrees with its ZIP64 one when it is all ones or equal.
bool agrees(uint64_t plain, uint64_t allOnes, uint64_t wide) {
  return plain == allOnes || plain == wide;
}

// Reads the ZIP64 records when a locator stands before the end record and
// its record agrees with the plain one; then their values replace the
// all-ones fields. A locator that leads nowhere damages the archive.
UnzipProblem readZip64Records(int archive, EndRecords* records) {
  if (records->endOffset < locator::size) return {};
  uint64_t locatorOffset = records->endOffset - locator::size;
  unsigned char found[locator::size];
  if (!readFully(archive, locatorOffset, found, sizeof found) ||
      little32(found) != zip64LocatorSignature)
    return {};
  if (records->thisDisk != countLimit &&
      records->thisDisk + 1 != little32(found + locator::totalDisks))
    return {};  // a locator of another archive, or none
  unsigned char record[end64::size];
  std::optional<uint64_t> at =
      findZip64Record(archive, locatorOffset, little64(found + locator::recordOffset), record);
  if (!at) return damagedDirectory("the ZIP64 end record is missing");
  if (little32(record + end64::thisDisk) != little32(found + locator::recordDisk)) return {};
  uint64_t entries = little64(record + end64::entries),
           size = little64(record + end64::directorySize),
           offset = little64(record + end64::directoryOffset),
           disk = little32(record + end64::directoryDisk),
           entriesOnDisk = little64(record + end64::entriesOnDisk);
  if (!agrees(records->directoryDisk, countLimit, disk) ||
      !agrees(records->entriesOnDisk, countLimit, entriesOnDisk) ||
      !agrees(records->entries, countLimit, entries) ||
      !agrees(records->directorySize, fieldLimit, size) ||
      !agrees(records->directoryOffset, fieldLimit, offset))
    return {};
  uint64_t recordSize = little64(record + end64::recordSize);
  if (recordSize > locatorOffset - *at - end64::sizeFieldEnd)
    return damagedDirectory("the ZIP64 end record does not fit the file");
  records->zip64Record = FileSpan{*at, *at + end64::sizeFieldEnd + recordSize};
  records->recordsStart = locatorOffset;
  if (records->thisDisk == countLimit) records->thisDisk = little32(record + end64::thisDisk);
  records->directoryDisk = disk, records->entries = entries;
  records->directorySize = size, records->directoryOffset = offset;
  return {};
}

// One central entry from `window`, its ZIP64 values resolved.
UnzipProblem readCentralEntry(FileWindow& window, CentralEntry* entry) {
  const unsigned char* fixed = window.take(central::size);
  if (fixed == nullptr || little32(fixed) != centralEntrySignature)
    return damagedDirectory("a central directory entry is missing or damaged");
  entry->hostSystem = fixed[central::versionMadeBy + 1];
  entry->versionNeeded = fixed[central::versionNeeded];
  entry->flags = little16(fixed + central::flags);
  entry->method = little16(fixed + central::method);
  entry->dosDateTime = little32(fixed + central::dosTime);
  entry->crc = little32(fixed + central::crc);
  entry->externalAttributes = little32(fixed + central::externalAttributes);
  uint32_t compressed = little32(fixed + central::compressedSize),
           size = little32(fixed + central::size32),
           offset = little32(fixed + central::localHeaderOffset);
  size_t nameLength = little16(fixed + central::nameLength),
         extraLength = little16(fixed + central::extraLength),
         commentLength = little16(fixed + central::commentLength);
  const unsigned char* variable = window.take(nameLength + extraLength + commentLength);
  if (variable == nullptr)
    return damagedDirectory("a central directory entry runs past the directory");
  entry->rawName.assign(reinterpret_cast<const char*>(variable), nameLength);
  entry->extraField.assign(reinterpret_cast<const char*>(variable) + nameLength, extraLength);
  entry->compressedSize = compressed, entry->size = size, entry->localHeaderOffset = offset;
  if (!readZip64Values(entry->extraField, size == fieldLimit ? &entry->size : nullptr,
                       compressed == fieldLimit ? &entry->compressedSize : nullptr,
                       offset == fieldLimit ? &entry->localHeaderOffset : nullptr) &&
      (size == fieldLimit || compressed == fieldLimit || offset == fieldLimit))
    return problemWith(UnzipResult::badDirectory, entry->rawName, "its ZIP64 sizes are missing");
  return {};
}

// Where the directory starts, given the bytes found before the archive
// (whose offsets then count from a later start), and the spans it reserves.
UnzipProblem placeDirectory(const EndRecords& records, uint64_t* start, ZipDirectory* directory) {
  uint64_t recordsAt = records.zip64Record ? records.zip64Record->begin : records.endOffset;
  if (records.thisDisk != 0 || records.directoryDisk != 0)
    return damagedDirectory("the archive spans several disks");
  if (records.directorySize > recordsAt ||
      records.directoryOffset > recordsAt - records.directorySize)
    return damagedDirectory("the central directory does not fit the file");
  uint64_t before = recordsAt - records.directorySize - records.directoryOffset;
  if (before > 0 && records.directoryOffset == 0 && records.directorySize != 0)
    return damagedDirectory("the central directory's offset is zero");
  *start = records.directoryOffset + before;
  if (before > 0) {
    directory->warning =
        problemWith(UnzipResult::warning, "", std::to_string(before) + " bytes before the archive");
    directory->reserved.push_back({0, before});
  }
  if (records.directorySize > 0)
    directory->reserved.push_back({*start, *start + records.directorySize});
  if (records.zip64Record) directory->reserved.push_back(*records.zip64Record);
  directory->reserved.push_back({records.recordsStart, records.recordsEnd});
  return {};
}

UnzipProblem readEntries(int archive, const EndRecords& records, uint64_t start, uint64_t before,
                         ZipDirectory* directory) {
  FileWindow window(archive, start, start + records.directorySize);
  while (window.left() >= 4) {
    const unsigned char* signature = window.peek(4);
    if (signature == nullptr) return damagedDirectory("the central directory cannot be read");
    if (little32(signature) != centralEntrySignature) break;
    CentralEntry entry;
    if (UnzipProblem problem = readCentralEntry(window, &entry)) return problem;
    entry.localHeaderOffset += before;
    directory->entries.push_back(std::move(entry));
  }
  uint64_t count = directory->entries.size();
  if (records.zip64Record ? count != records.entries : (count & countLimit) != records.entries)
    return damagedDirectory("the central directory holds " + std::to_string(count) +
                            " entries where the end record says " +
                            std::to_string(records.entries));
  if (window.left() > 0 && !directory->warning)
    directory->warning = problemWith(UnzipResult::warning, "", "bytes after the central directory");
  return {};
}

}  // namespace

UnzipProblem readZipDirectory(int archive, uint64_t fileSize, ZipDirectory* directory) {
  std::optional<uint64_t> endOffset = findEndRecord(archive, fileSize);
  EndRecords records;
  if (!endOffset || !readEndRecord(archive, fileSize, *endOffset, &records))
    return problemWith(UnzipResult::notAnArchive, "", "no end of central directory record");
  if (UnzipProblem problem = readZip64Records(archive, &records)) return problem;
  uint64_t start = 0;
  if (UnzipProblem problem = placeDirectory(records, &start, directory)) return problem;
  if (UnzipProblem problem =
          readEntries(archive, records, start, start - records.directoryOffset, directory))
    return problem;
  if (directory->entries.empty())
    directory->warning = problemWith(UnzipResult::warning, "", "the archive holds no members");
  return {};
}
