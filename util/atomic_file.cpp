#include "util/atomic_file.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>
#include "util/ascii.h"

namespace kalvex {

namespace {


// Makes the rename durable; a folder that cannot be synced is not an error of
// the write itself (some file systems refuse fsync on directories).
void SyncDirectory(const std::string& dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

std::string UniqueSuffix() {
  static std::atomic<unsigned> counter{0};
  static const unsigned seed = std::random_device{}();
  return std::to_string(::getpid()) + "-" + std::to_string(seed) + "-" +
         std::to_string(counter.fetch_add(1, std::memory_order_relaxed));
}

}  // namespace

TAtomicFileWriter::TAtomicFileWriter(std::string path) : path_(std::move(path)) {}

TAtomicFileWriter::~TAtomicFileWriter() { Discard(); }

bool TAtomicFileWriter::Fail(int err) {
  if (error_ == 0) error_ = err != 0 ? err : EIO;
  return false;
}

bool TAtomicFileWriter::Open() {
  if (fd_ >= 0 || error_ != 0) return Fail(EINVAL);
  if (path_.empty()) return Fail(ENOENT);

  target_ = path_;
  struct stat st {};
  bool exists = false;
  if (::lstat(path_.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    char resolved[PATH_MAX];
    if (::realpath(path_.c_str(), resolved) != nullptr) target_ = resolved;
  }
  if (::stat(target_.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return Fail(EISDIR);
    if (!S_ISREG(st.st_mode)) return Fail(EINVAL);  // never replace device nodes or pipes
    // A file the user may not write is not replaced behind its back, as a
    // plain save would not write it either.
    if (::access(target_.c_str(), W_OK) != 0) return Fail(errno);
    exists = true;
  }

  const std::string dir = DirName(target_);
  const std::string base = dir == "/" ? "/" : dir + "/";
  for (int attempt = 0; attempt < 100; ++attempt) {
    // Short, whatever the target's name: a name near the length limit saves too.
    std::string candidate = base + ".kalvex-" + UniqueSuffix() + ".tmp";
    // 0666 lets the umask decide for a new file, as any editor would.
    const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      fd_ = fd;
      temp_path_ = std::move(candidate);
      break;
    }
    if (errno != EEXIST) {
      no_temp_file_ = errno == EACCES || errno == EPERM || errno == EROFS;  // the folder is there
      return Fail(errno);
    }
  }
  if (fd_ < 0) return Fail(EEXIST);

  if (exists && ::fchmod(fd_, st.st_mode & 07777) != 0) {
    const int err = errno;
    CloseAndRemoveTemp();
    return Fail(err);
  }
  buffer_.resize(kBufferSize);
  used_ = 0;
  return true;
}

bool TAtomicFileWriter::WriteAll(const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd_, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Fail(errno);
    }
    if (n == 0) return Fail(ENOSPC);
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool TAtomicFileWriter::FlushBuffer() {
  if (used_ == 0) return true;
  const size_t n = used_;
  used_ = 0;
  return WriteAll(buffer_.data(), n);
}

bool TAtomicFileWriter::Write(const void* data, size_t size) {
  if (error_ != 0) return false;
  if (fd_ < 0) return Fail(EBADF);
  if (size == 0) return true;
  const char* bytes = static_cast<const char*>(data);
  if (used_ + size <= buffer_.size()) {
    std::memcpy(buffer_.data() + used_, bytes, size);
    used_ += size;
    return true;
  }
  if (!FlushBuffer()) return false;
  if (size >= buffer_.size()) return WriteAll(bytes, size);
  std::memcpy(buffer_.data(), bytes, size);
  used_ = size;
  return true;
}

bool TAtomicFileWriter::Commit() {
  if (error_ != 0 || fd_ < 0) {
    Discard();
    return Fail(EBADF);
  }
  bool ok = FlushBuffer();
  if (ok && ::fsync(fd_) != 0) ok = Fail(errno);
  // close() can report a deferred write error (NFS, quotas).
  if (::close(fd_) != 0 && ok) ok = Fail(errno);
  fd_ = -1;
  if (ok && ::rename(temp_path_.c_str(), target_.c_str()) != 0) ok = Fail(errno);
  if (!ok) {
    CloseAndRemoveTemp();
    return false;
  }
  temp_path_.clear();
  SyncDirectory(DirName(target_));
  return true;
}

void TAtomicFileWriter::CloseAndRemoveTemp() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  if (!temp_path_.empty()) {
    ::unlink(temp_path_.c_str());
    temp_path_.clear();
  }
  used_ = 0;
}

void TAtomicFileWriter::Discard() { CloseAndRemoveTemp(); }

}  // namespace kalvex
