// Decides whether a path can be trusted as ssh trusts a home directory: no
// one but root and this user can change what it leads to.
#pragma once

#include <sys/types.h>

#include <string>

// True when every directory that resolving `path` passes through, from "/"
// (or the working directory's root, for a relative path) down to the last one
// that exists, is owned by root or the effective user and writable by neither
// its group nor others. Symbolic links are followed and the directories they
// lead through checked the same way. A writable directory with the sticky bit
// passes when the entry below it is root's or the user's or not there yet;
// the path itself, when it exists, must be writable by no one else at all.
// Otherwise false, with the first offending prefix of `path` (the link that
// led there, for a directory reached through one) in `offender`.
bool pathIsTrusted(const std::string& path, std::string* offender);

// True when root or the effective user owns the file.
bool ownedByUserOrRoot(uid_t owner);
