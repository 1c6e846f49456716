#include "util/read_file.h"

#include <cerrno>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

namespace kalvex {

TReadStatus OpenRegularFile(const std::string& path, int& fd, size_t& size, int* err) {
  auto fail = [&](TReadStatus status, int e) {
    if (err) *err = e;
    return status;
  };
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0)
    return errno == ENOENT || errno == ENOTDIR ? TReadStatus::kMissing : fail(TReadStatus::kCannotOpen, errno);
  if (!S_ISREG(st.st_mode)) return TReadStatus::kNotRegular;
  // Non-blocking, so that a file swapped for a pipe since the check cannot hang us.
  fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return fail(TReadStatus::kCannotOpen, errno);
  const bool statted = ::fstat(fd, &st) == 0;
  const int e = errno;
  if (!statted || !S_ISREG(st.st_mode)) {
    ::close(fd);
    fd = -1;
    return statted ? TReadStatus::kNotRegular : fail(TReadStatus::kReadError, e);
  }
  size = static_cast<size_t>(st.st_size);
  return TReadStatus::kOk;
}

TReadStatus ReadRegularFile(const std::string& path, TFileBytes& out, size_t maxBytes,
                            const std::function<void(size_t)>& onSize, int* err) {
  out = {};
  auto fail = [&](TReadStatus status, int e) {
    if (err) *err = e;
    return status;
  };
  int fd = -1;
  size_t size = 0;
  if (const TReadStatus opened = OpenRegularFile(path, fd, size, err); opened != TReadStatus::kOk) return opened;
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  if (size > maxBytes) return TReadStatus::kTooLarge;
  if (onSize) onSize(size);
  std::unique_ptr<uint8_t[]> data(new (std::nothrow) uint8_t[size > 0 ? size : 1]);
  if (!data) return TReadStatus::kNoMemory;
  size_t got = 0;
  while (got < size) {
    const ssize_t n = ::read(fd, data.get() + got, size - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(TReadStatus::kReadError, errno);
    }
    if (n == 0) break;  // shrank
    got += static_cast<size_t>(n);
  }
  out.data = std::move(data);
  out.size = got;
  return TReadStatus::kOk;
}

}  // namespace kalvex
