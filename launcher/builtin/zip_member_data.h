// A member's data, decoded (stored, deflated or bzip2) and checked: exactly
// its size in bytes, and its CRC-32. Streams in pieces, so memory does not
// grow with the member.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "launcher/builtin/unzip_problem.h"
#include "launcher/builtin/zip_directory.h"

// Takes each decoded piece; returns 0, or the errno of a failed write.
using DataSink = std::function<int(const unsigned char* bytes, size_t count)>;

// Whether unzip can decode `entry`: a known method, no encryption, no newer
// format version than it reads. Otherwise the problem names what is missing.
UnzipProblem checkDecodable(const CentralEntry& entry);

// Decodes members' data with buffers made once for all of them.
class MemberDecoder {
 public:
  MemberDecoder();

  // Decodes the data of `entry`, which starts at `dataOffset` of `archive`,
  // into `sink`. Fails on damaged data, on data longer or shorter than the
  // entry's size, on a CRC-32 that differs, and when the sink refuses a
  // piece. Running out of memory throws std::bad_alloc.
  UnzipProblem decode(int archive, const CentralEntry& entry, uint64_t dataOffset,
                      const DataSink& sink);

 private:
  std::vector<unsigned char> input_, output_;
};
