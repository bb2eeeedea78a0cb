#include "launcher/builtin/tree_removal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>

namespace {

constexpr int openDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// A buffer of entries for each of the first levels, so that a level reads on
// where it was after coming back from the level below. The deepest levels share
// the last buffer and read their directory afresh after each descent.
constexpr int bufferedLevels = 32;
alignas(dirent64) char entryBuffers[bufferedLevels][4096];

bool isDotOrDotDot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

bool removeEntry(int directory, const char* name, int depth);

// Empties the open `directory`, which lies `depth` levels below the top.
// Returns whether any entry went: a pass that removes nothing ends the work on
// this level, so a tree holding something that cannot go is walked a bounded
// number of times.
bool emptyDirectory(int directory, int depth) {
  char* buffer = entryBuffers[depth < bufferedLevels ? depth : bufferedLevels - 1];
  bool sharesBuffer = depth + 1 >= bufferedLevels;  // with the level below
  bool removedAny = false;
  for (bool progress = true; progress;) {
    progress = false;
    if (lseek(directory, 0, SEEK_SET) != 0) break;
    long count;
    while ((count = getdents64(directory, buffer, sizeof entryBuffers[0])) > 0) {
      for (long at = 0; at < count;) {
        const dirent64* entry = reinterpret_cast<const dirent64*>(buffer + at);
        at += entry->d_reclen;
        if (isDotOrDotDot(entry->d_name)) continue;
        bool mayDescend = entry->d_type == DT_DIR || entry->d_type == DT_UNKNOWN;
        if (removeEntry(directory, entry->d_name, depth)) progress = removedAny = true;
        if (mayDescend && sharesBuffer) break;  // the level below overwrote the buffer
      }
      if (sharesBuffer) break;
    }
  }
  return removedAny;
}

// Removes the entry `name` of `directory`; a directory with everything in it.
bool removeEntry(int directory, const char* name, int depth) {
  if (unlinkat(directory, name, 0) == 0) return true;
  if (unlinkat(directory, name, AT_REMOVEDIR) == 0) return true;
  int child = openat(directory, name, openDirectoryFlags);
  if (child < 0) {
    // A directory of ours that we may not read: open it up and try once more.
    if (fchmodat(directory, name, S_IRWXU, 0) != 0) return false;
    child = openat(directory, name, openDirectoryFlags);
    if (child < 0) return false;
  }
  struct stat status;
  if (fstat(child, &status) == 0 && (status.st_mode & S_IRWXU) != S_IRWXU)
    fchmod(child, status.st_mode | S_IRWXU);
  bool removedBelow = emptyDirectory(child, depth + 1);
  close(child);
  return unlinkat(directory, name, AT_REMOVEDIR) == 0 || removedBelow;
}

}  // namespace

void removeTree(const char* path) {
  if (path == nullptr || path[0] == '\0') return;
  // A trailing "/" would make the kernel follow a link in the last place.
  char trimmed[PATH_MAX];
  size_t length = strnlen(path, sizeof trimmed);
  if (length == sizeof trimmed) return;
  memcpy(trimmed, path, length + 1);
  while (length > 1 && trimmed[length - 1] == '/') trimmed[--length] = '\0';
  removeEntry(AT_FDCWD, trimmed, 0);
}
