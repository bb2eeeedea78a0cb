#include "agent/trusted_path.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "test_support.h"

using namespace testing_support;

// Directories a and a/b under a private root, with the modes (and, as root,
// owners) of each row; the path asked about and the offender expected ("" for
// a trusted path).
TEST(PathIsTrusted, RefusesWhatAnotherUserCouldChange) {
  TemporaryDirectory root;
  const std::string a = root.file("a"), b = a + "/b";
  ASSERT_EQ(mkdir(a.c_str(), 0700), 0);
  ASSERT_EQ(mkdir(b.c_str(), 0700), 0);
  ASSERT_EQ(symlink("a/b", root.file("link").c_str()), 0);
  ASSERT_EQ(symlink("loop", root.file("loop").c_str()), 0);
  ASSERT_EQ(symlink("..", (a + "/up").c_str()), 0);
  if (geteuid() == 0) {
    ASSERT_EQ(lchown((a + "/up").c_str(), 65534, -1), 0);
  }
  struct {
    mode_t aMode, bMode;
    uid_t bOwner;
    std::string path, offender;
  } cases[] = {
      {0755, 0700, 0, b + "/c/d", ""},  // what does not exist yet holds nothing
      {0775, 0700, 0, b + "/c", a},
      {0777, 0700, 0, b, a},
      {01777, 0700, 0, b, ""},  // sticky: others cannot replace b
      {01777, 0700, 0, a, a},   // but the path itself must be closed
      {0755, 0720, 0, b, b},
      {0755, 0720, 0, root.file("link/c"), root.file("link")},
      {0755, 0700, 0, root.file("link/../b/."), ""},
      {0755, 0700, 0, root.file("loop/c"), root.file("loop")},
      {0755, 0700, 65534, b, b},
      {01777, 0700, 65534, b + "/c", b},
      {01777, 0700, 65534, a + "/up", a + "/up"},  // sticky, but the link is someone else's
  };
  for (const auto& c : cases) {
    if (c.bOwner != 0 && geteuid() != 0) continue;  // giving b away needs root
    chmod(a.c_str(), c.aMode);
    chmod(b.c_str(), c.bMode);
    ASSERT_EQ(chown(b.c_str(), c.bOwner == 0 ? geteuid() : c.bOwner, -1), 0);
    std::string offender;
    EXPECT_EQ(pathIsTrusted(c.path, &offender), c.offender.empty()) << c.path;
    EXPECT_EQ(offender, c.offender) << c.path << " " << std::oct << c.aMode << " " << c.bMode;
  }
  if (geteuid() != 0) std::cout << "[ SKIPPED  ] rows that give a directory away need root\n";
}
