// Where a member of a ZIP archive goes below the target directory: its name
// as unzip reads it, split into the names of the directories on the way.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "launcher/builtin/unzip_problem.h"

// The name of a central entry as unzip takes it: an Info-ZIP Unicode path
// block that vouches for the raw name replaces it, unless the entry already
// says its name is UTF-8. No byte is changed otherwise: no character set is
// assumed and nothing is normalised.
std::string memberName(std::string_view rawName, std::string_view extraField, bool utf8Flag);

struct MemberPath {
  std::vector<std::string> components;  // empty: the target directory itself
  bool directory = false;               // the name ends in "/"
  bool backslashes = false;             // "\" was read as "/", which unzip warns of
};

// Splits `name` into the names below the target. A name made on MS-DOS
// without any "/" uses "\" instead; "." and empty components are dropped,
// and a last component "." or ".." becomes "_" or "__" as unzip makes it.
// An absolute name, a ".." on the way, a NUL byte or an empty name is
// refused: nothing may land outside the target.
UnzipProblem splitMemberName(std::string name, uint8_t hostSystem, MemberPath* path);
