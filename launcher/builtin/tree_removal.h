// Removes a file or a directory tree as "rm -rf" does, without following a
// symbolic link anywhere in it, using only async-signal-safe calls and no
// allocation, so that a signal handler may call it.
#pragma once

// Removes `path` and, when it is a directory, everything below it. A link is
// removed itself, never what it points to. A directory of the caller's whose
// mode keeps its entries from being removed is opened up first. Whatever
// cannot be removed is left; nothing is reported. A missing path is no error.
void removeTree(const char* path);
