// Keys from the operating system's cryptographic random source. Each system's
// source sits behind os_key_source(); a false return means no key at all (a
// partial key is never passed on).
#include <cerrno>
#include <cstddef>

#include "nimbra/random.hpp"

#if defined(_WIN32)
#include <windows.h>
#elif defined(__APPLE__) || defined(__FreeBSD__) || defined(__OpenBSD__) || defined(__NetBSD__)
#include <stdlib.h>
#else
#include <fcntl.h>
#include <unistd.h>
#if __has_include(<sys/random.h>)
#include <sys/random.h>
#define NIMBRA_HAVE_GETRANDOM 1
#endif
#endif

namespace nimbra::random {

#if defined(_WIN32)

namespace {

// Both are looked up at run time so the build needs no extra import libraries.
using BCryptGenRandomFn = LONG(WINAPI*)(void*, unsigned char*, ULONG, ULONG);
using RtlGenRandomFn = BOOLEAN(WINAPI*)(void*, ULONG);
constexpr ULONG kUseSystemPreferredRng = 0x00000002;  // BCRYPT_USE_SYSTEM_PREFERRED_RNG

template <class Fn>
Fn lookup(const wchar_t* dll, const char* name) {
  HMODULE module = LoadLibraryW(dll);
  if (module == nullptr) return nullptr;
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

}  // namespace

bool os_key_source(Key& out) {
  static const auto bcrypt = lookup<BCryptGenRandomFn>(L"bcrypt.dll", "BCryptGenRandom");
  if (bcrypt != nullptr &&
      bcrypt(nullptr, out.data(), static_cast<ULONG>(out.size()), kUseSystemPreferredRng) >= 0) {
    return true;
  }
  // RtlGenRandom is exported under this name.
  static const auto rtl = lookup<RtlGenRandomFn>(L"advapi32.dll", "SystemFunction036");
  return rtl != nullptr && rtl(out.data(), static_cast<ULONG>(out.size())) != 0;
}

#elif defined(__APPLE__) || defined(__FreeBSD__) || defined(__OpenBSD__) || defined(__NetBSD__)

bool os_key_source(Key& out) {
  arc4random_buf(out.data(), out.size());  // cannot fail
  return true;
}

#else

namespace {

// Fills [p, p + n) with `read_some`, retrying interrupted calls and short reads.
template <class ReadSome>
bool fill_all(unsigned char* p, std::size_t n, ReadSome read_some) {
  std::size_t got = 0;
  while (got < n) {
    const ssize_t r = read_some(p + got, n - got);
    if (r > 0) {
      got += static_cast<std::size_t>(r);
    } else if (r < 0 && errno == EINTR) {
      continue;
    } else {
      return false;  // error, or end of file on the device
    }
  }
  return true;
}

bool from_urandom(Key& out) {
  int fd;
  do {
    fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  const bool ok = fill_all(out.data(), out.size(),
                           [fd](unsigned char* p, std::size_t n) { return read(fd, p, n); });
  close(fd);
  return ok;
}

}  // namespace

bool os_key_source(Key& out) {
  const int saved_errno = errno;
  bool ok = false;
#ifdef NIMBRA_HAVE_GETRANDOM
  // Blocks only until the kernel's pool is first initialised, which is what we
  // want: never a weak key. Fails with ENOSYS on old kernels and EPERM under
  // some sandboxes; then the device may still work.
  ok = fill_all(out.data(), out.size(),
                [](unsigned char* p, std::size_t n) { return getrandom(p, n, 0); });
#endif
  if (!ok) ok = from_urandom(out);
  errno = saved_errno;
  return ok;
}

#endif

}  // namespace nimbra::random
