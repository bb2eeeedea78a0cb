// libarchive ends the whole process with exit(1) when it runs out of memory
// for a string, which would leave the scratch directory behind and end the
// run with a status of neither 0 nor 255. The launcher's link sends that
// call here instead, where it becomes the std::bad_alloc of any other failed
// allocation: it unwinds out of the unpacking, freeing what it held, to the
// step that unpacked, which ends the run with its own failure lines.
#include <new>

extern "C" [[noreturn]] void __wrap___archive_errx(int, const char*) { throw std::bad_alloc(); }
