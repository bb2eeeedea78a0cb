// Linked into the static launcher only, whose link sends every call of the
// C library's functions that load shared objects (the dynamic loader, and the
// name service lookups that load NSS modules) here instead, where each fails
// at once. The launcher resolves names with c-ares and never asks for the
// others; OpenSSL and c-ares merely reference them. So no loader, C library
// or nsswitch.conf of the host can take part in a run, and the static link
// has nothing to warn about.
#include <errno.h>
#include <netdb.h>

extern "C" {

void* __wrap_dlopen(const char*, int) { return nullptr; }

int __wrap_getaddrinfo(const char*, const char*, const addrinfo*, addrinfo** result) {
  *result = nullptr;
  return EAI_FAIL;
}

hostent* __wrap_gethostbyname(const char*) {
  h_errno = NO_RECOVERY;
  return nullptr;
}

servent* __wrap_getservbyname(const char*, const char*) { return nullptr; }

int __wrap_getservbyport_r(int, const char*, servent*, char*, size_t, servent** result) {
  *result = nullptr;
  return ENOENT;
}

}  // extern "C"
