#include "launcher/builtin/zip_member_data.h"

#include <bzlib.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "launcher/builtin/file_window.h"
#include "launcher/builtin/zip_format.h"

using namespace zipformat;

namespace {

// Large pieces for large stored members: about as many system calls as a copy.
constexpr size_t pieceSize = 128 * 1024;
// The newest format version unzip extracts: 4.6, bzip2.
constexpr uint8_t newestVersion = 46;

const char* methodName(uint16_t method) {
  switch (method) {
    case 1:
      return "shrunk";
    case 2:
    case 3:
    case 4:
    case 5:
      return "reduced";
    case 6:
      return "imploded";
    case 9:
      return "Deflate64";
    case 14:
      return "LZMA";
    case 93:
      return "Zstandard";
    case 95:
      return "xz";
    case 96:
      return "JPEG";
    case 97:
      return "WavPack";
    case 98:
      return "PPMd";
    case 99:
      return "AES-encrypted";
    default:
      return nullptr;
  }
}

std::string hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", value);
  return text;
}

// Counts, checks and hands on what a decoder produces.
class Output {
 public:
  Output(const CentralEntry& entry, const DataSink& sink) : entry_(entry), sink_(sink) {}

  UnzipProblem take(const unsigned char* bytes, size_t count) {
    if (count > entry_.size - written_)
      return problemWith(UnzipResult::damaged, entry_.rawName, "it holds more data than its size");
    crc_ = crc32(crc_, bytes, static_cast<uInt>(count));
    written_ += count;
    if (int error = count > 0 ? sink_(bytes, count) : 0)
      return problemWith(UnzipResult::cannotWrite, entry_.rawName, std::strerror(error));
    return {};
  }

  UnzipProblem finish() const {
    if (written_ != entry_.size)
      return problemWith(UnzipResult::damaged, entry_.rawName,
                         "its data ends after " + std::to_string(written_) + " of " +
                             std::to_string(entry_.size) + " bytes");
    if (crc_ != entry_.crc)
      return problemWith(
          UnzipResult::damaged, entry_.rawName,
          "bad CRC " + hex(static_cast<uint32_t>(crc_)) + " (should be " + hex(entry_.crc) + ")");
    return {};
  }

 private:
  const CentralEntry& entry_;
  const DataSink& sink_;
  uint64_t written_ = 0;
  uLong crc_ = crc32(0, Z_NULL, 0);
};

UnzipProblem damagedData(const CentralEntry& entry) {
  return problemWith(UnzipResult::damaged, entry.rawName, "its compressed data is damaged");
}

// The compressed data, in pieces, as a decoder asks for them.
class Input {
 public:
  Input(int archive, const CentralEntry& entry, uint64_t dataOffset,
        std::vector<unsigned char>& buffer)
      : archive_(archive), offset_(dataOffset), left_(entry.compressedSize), buffer_(buffer) {}

  uint64_t left() const { return left_; }
  // The next piece; empty when none is left. False when the file cannot give it.
  bool next(const unsigned char** bytes, size_t* count) {
    *count = static_cast<size_t>(std::min<uint64_t>(left_, buffer_.size()));
    *bytes = buffer_.data();
    if (*count == 0) return true;
    if (!readFully(archive_, offset_, buffer_.data(), *count)) return false;
    offset_ += *count, left_ -= *count;
    return true;
  }

 private:
  int archive_;
  uint64_t offset_, left_;
  std::vector<unsigned char>& buffer_;
};

UnzipProblem copyStored(Input& input, Output& output, const CentralEntry& entry) {
  for (;;) {
    const unsigned char* bytes;
    size_t count;
    if (!input.next(&bytes, &count)) return damagedData(entry);
    if (count == 0) return output.finish();
    if (UnzipProblem problem = output.take(bytes, count)) return problem;
  }
}

class Inflater {
 public:
  Inflater() {
    if (inflateInit2(&stream_, -MAX_WBITS) != Z_OK) throw std::bad_alloc();
  }
  ~Inflater() { inflateEnd(&stream_); }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;
  z_stream& stream() { return stream_; }

 private:
  z_stream stream_{};
};

UnzipProblem inflateData(Input& input, Output& output, const CentralEntry& entry,
                         std::vector<unsigned char>& out) {
  Inflater inflater;
  z_stream& stream = inflater.stream();
  for (int status = Z_OK; status != Z_STREAM_END;) {
    if (stream.avail_in == 0) {
      const unsigned char* bytes;
      size_t count;
      if (!input.next(&bytes, &count) || count == 0) return damagedData(entry);
      stream.next_in = const_cast<Bytef*>(bytes), stream.avail_in = static_cast<uInt>(count);
    }
    stream.next_out = out.data(), stream.avail_out = static_cast<uInt>(out.size());
    status = inflate(&stream, Z_NO_FLUSH);
    if (status == Z_MEM_ERROR) throw std::bad_alloc();
    if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR)
      return damagedData(entry);
    if (UnzipProblem problem = output.take(out.data(), out.size() - stream.avail_out))
      return problem;
  }
  return output.finish();
}

class Bunzipper {
 public:
  Bunzipper() {
    if (BZ2_bzDecompressInit(&stream_, 0, 0) != BZ_OK) throw std::bad_alloc();
  }
  ~Bunzipper() { BZ2_bzDecompressEnd(&stream_); }
  Bunzipper(const Bunzipper&) = delete;
  Bunzipper& operator=(const Bunzipper&) = delete;
  bz_stream& stream() { return stream_; }

 private:
  bz_stream stream_{};
};

UnzipProblem bunzipData(Input& input, Output& output, const CentralEntry& entry,
                        std::vector<unsigned char>& out) {
  Bunzipper bunzipper;
  bz_stream& stream = bunzipper.stream();
  for (int status = BZ_OK; status != BZ_STREAM_END;) {
    if (stream.avail_in == 0) {
      const unsigned char* bytes;
      size_t count;
      if (!input.next(&bytes, &count) || count == 0) return damagedData(entry);
      stream.next_in = reinterpret_cast<char*>(const_cast<unsigned char*>(bytes));
      stream.avail_in = static_cast<unsigned>(count);
    }
    stream.next_out = reinterpret_cast<char*>(out.data());
    stream.avail_out = static_cast<unsigned>(out.size());
    status = BZ2_bzDecompress(&stream);
    if (status == BZ_MEM_ERROR) throw std::bad_alloc();
    if (status != BZ_OK && status != BZ_STREAM_END) return damagedData(entry);
    size_t produced = out.size() - stream.avail_out;
    if (UnzipProblem problem = output.take(out.data(), produced)) return problem;
  }
  return output.finish();
}

}  // namespace

UnzipProblem checkDecodable(const CentralEntry& entry) {
  if (entry.flags & encryptedFlag)
    return problemWith(UnzipResult::unsupported, entry.rawName, "it is encrypted");
  if (entry.method != storedMethod && entry.method != deflatedMethod &&
      entry.method != bzip2Method) {
    const char* name = methodName(entry.method);
    return problemWith(UnzipResult::unsupported, entry.rawName,
                       "compression method " + std::to_string(entry.method) +
                           (name != nullptr ? std::string(" (") + name + ")" : "") +
                           " is not supported");
  }
  if (entry.versionNeeded > newestVersion)
    return problemWith(UnzipResult::unsupported, entry.rawName,
                       "it needs version " + std::to_string(entry.versionNeeded / 10) + "." +
                           std::to_string(entry.versionNeeded % 10) + " to extract");
  return {};
}

MemberDecoder::MemberDecoder() : input_(pieceSize), output_(pieceSize) {}

UnzipProblem MemberDecoder::decode(int archive, const CentralEntry& entry, uint64_t dataOffset,
                                   const DataSink& sink) {
  Input input(archive, entry, dataOffset, input_);
  Output output(entry, sink);
  switch (entry.method) {
    case deflatedMethod:
      return inflateData(input, output, entry, output_);
    case bzip2Method:
      return bunzipData(input, output, entry, output_);
    default:
      return copyStored(input, output, entry);
  }
}

// bzip2 calls this only when its own state is inconsistent, which no input
// can bring about: a broken library, not a broken archive.
extern "C" void bz_internal_error(int) { std::abort(); }
