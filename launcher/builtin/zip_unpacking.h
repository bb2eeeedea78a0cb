// Unpacks a ZIP archive into a directory as Info-ZIP's "unzip -qq -o" does
// on Unix: the same names, files, directories and symbolic links, the same
// modes and times, and the same verdict on a damaged archive. Where unzip is
// unsound it stays sound: a name keeps its bytes, nothing lands outside the
// target, and a forged archive is refused before anything is written.
#pragma once

#include <string>

#include "launcher/builtin/unzip_problem.h"

// Unpacks the archive in the open, seekable `archive` (offsets count from the
// start of that file, so an archive appended to a program works) into
// `targetDirectory`, made when missing. Existing files are replaced. The
// central directory is the one truth about the members; every local header
// is checked against it, and every part of the archive must lie apart from
// the others, before the first file is made.
UnzipProblem unpackZipArchive(int archive, const std::string& targetDirectory);
