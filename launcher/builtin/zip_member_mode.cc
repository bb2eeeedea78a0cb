#include "launcher/builtin/zip_member_mode.h"

#include <sys/stat.h>

#include "launcher/builtin/zip_extra_field.h"
#include "launcher/builtin/zip_format.h"

using namespace zipformat;

namespace {

bool madeOnUnixLikeSystem(uint8_t host) {
  switch (host) {
    case unixHost:
    case vms:
    case acorn:
    case atari:
    case atheos:
    case beos:
    case qdos:
    case tandem:
    case theos:
      return true;
    default:
      return false;
  }
}

// The systems whose symbolic links unzip makes on Unix.
bool makesLinks(uint8_t host) {
  return host == unixHost || host == atari || host == atheos || host == beos || host == vms;
}

// THEOS keeps flags of its own beside the file type.
uint32_t theosAttributes(uint32_t external) {
  external &= 0xF1FFFFFF;
  return (external & 0xF0000000) != 0x40000000 ? external & 0x01FFFFFF : external & 0x41FFFFFF;
}

// A zero Unix mode from a Unix-like system: the mode of an ASi block, or
// nothing, with `undecipherable` set when a block says there is one that
// unzip cannot read (a short ASi block, a VMS block).
unsigned modeFromExtraField(std::string_view field, bool* undecipherable) {
  constexpr size_t asiModeOffset = 4, asiModeEnd = asiModeOffset + 2;  // after its CRC-32
  unsigned mode = 0;
  bool found = false;
  forEachExtraBlock(field, [&](uint16_t id, std::string_view data) {
    if (found || *undecipherable) return;
    if (id == asiUnixId && data.size() >= asiModeEnd) {
      mode = little16(reinterpret_cast<const unsigned char*>(data.data()) + asiModeOffset);
      found = true;
    } else if (id == asiUnixId || id == pkVmsExtraId) {
      *undecipherable = true;
    }
  });
  return mode;
}

// MS-DOS and the rest: the read-only bit takes the write bits, the
// directory bit gives the search bits; a Unix mode given beside them counts
// when its owner bits agree.
MemberMode dosMode(uint8_t host, uint32_t external, unsigned unixMode, bool nameEndsInSlash,
                   unsigned umask) {
  if ((external & 0x10) == 0 && nameEndsInSlash) external |= 0x10;
  unsigned flags = ((external & 1) == 0) << 1 | (external & 0x10) >> 4;
  if ((unixMode & 0700) == (0400 | flags << 6))
    return {unixMode, S_ISLNK(unixMode) && host == msDos};
  return {(0444 | flags << 6 | flags << 3 | flags) & ~umask, false};
}

}  // namespace

MemberMode unzipMemberMode(uint8_t hostSystem, uint32_t externalAttributes,
                           std::string_view centralExtraField, bool nameEndsInSlash,
                           unsigned umask) {
  uint32_t external = externalAttributes;
  if (hostSystem == amiga) {
    unsigned rwe = external >> 17 & 7;
    return {(rwe << 6 | rwe << 3 | rwe) & ~umask, false};
  }
  if (hostSystem == theos) external = theosAttributes(external);
  if (madeOnUnixLikeSystem(hostSystem)) {
    unsigned mode = external >> 16;
    bool undecipherable = false;
    if (mode == 0) mode = modeFromExtraField(centralExtraField, &undecipherable);
    if (!undecipherable) return {mode, S_ISLNK(mode) && makesLinks(hostSystem)};
    return dosMode(hostSystem, external, 0, nameEndsInSlash, umask);
  }
  unsigned unixMode = hostSystem == msDos ? external >> 16 : 0;
  return dosMode(hostSystem, external, unixMode, nameEndsInSlash, umask);
}
