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

#include <vector>

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

// The file a path names after every symbolic link, also when the last link
// points to a file that does not exist yet; empty for a loop.
std::string ResolveLinks(std::string path) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    std::vector<char> text(PATH_MAX + 1);
    const ssize_t n = ::readlink(path.c_str(), text.data(), PATH_MAX);
    if (n < 0) return path;
    std::string next(text.data(), static_cast<size_t>(n));
    if (next.empty()) return path;
    if (next[0] != '/') {
      const std::string dir = DirName(path);
      next = (dir == "/" ? "/" : dir + "/") + next;
    }
    path = next;
  }
  return {};
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

bool TAtomicFileWriter::OpenTemp(const std::string& dir) {
  const std::string base = dir == "/" ? "/" : dir + "/";
  for (int attempt = 0; attempt < 100; ++attempt) {
    // Short, whatever the target's name: a name near the length limit saves too.
    std::string candidate = base + ".kalvex-" + UniqueSuffix() + ".tmp";
    // 0666 lets the umask decide for a new file, as any editor would; a copy
    // outside the target's folder is the user's alone.
    const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, in_place_ ? 0600 : 0666);
    if (fd >= 0) {
      fd_ = fd;
      temp_path_ = std::move(candidate);
      return true;
    }
    if (errno != EEXIST) return Fail(errno);
  }
  return Fail(EEXIST);
}

bool TAtomicFileWriter::Open() {
  if (fd_ >= 0 || error_ != 0) return Fail(EINVAL);
  if (path_.empty()) return Fail(ENOENT);

  target_ = ResolveLinks(path_);
  if (target_.empty()) return Fail(ELOOP);
  struct stat st {};
  if (::stat(target_.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return Fail(EISDIR);
    if (!S_ISREG(st.st_mode)) return Fail(EINVAL);  // never replace device nodes or pipes
    // A file the user may not write is not replaced behind its back, as a
    // plain save would not write it either.
    if (::access(target_.c_str(), W_OK) != 0) return Fail(errno);
    exists_ = true;
    mode_ = st.st_mode & 07777;
    in_place_ = st.st_nlink > 1;  // a rename would split the links
  }

  const std::string dir = DirName(target_);
  if (!OpenTemp(dir)) {
    const int err = error_;
    const bool folderRefuses = err == EACCES || err == EPERM || err == EROFS;
    if (!folderRefuses || !exists_) {
      no_temp_file_ = folderRefuses;  // the folder is there
      return false;
    }
    // The folder takes no new file, but the file may be written: its new
    // content goes to a temporary file of the user's own first.
    error_ = 0;
    in_place_ = true;
    const char* tmp = std::getenv("TMPDIR");
    if (!OpenTemp(tmp && tmp[0] == '/' ? tmp : "/tmp")) return false;
  }

  if (exists_ && !in_place_ && ::fchmod(fd_, mode_) != 0) {
    const int err = errno;
    CloseAndRemoveTemp();
    return Fail(err);
  }
  buffer_.resize(kBufferSize);
  used_ = 0;
  size_ = 0;
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
    size_ += static_cast<size_t>(n);
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
  if (ok && !in_place_ && ::rename(temp_path_.c_str(), target_.c_str()) != 0) {
    // Another user's file in a sticky folder: a plain save writes it.
    if (exists_ && (errno == EPERM || errno == EACCES))
      in_place_ = true;
    else
      ok = Fail(errno);
  }
  if (ok && in_place_) {
    if (!CopyInPlace()) {
      kept_copy_ = temp_path_;  // the whole new content is there
      temp_path_.clear();
      return false;
    }
    ::unlink(temp_path_.c_str());
    temp_path_.clear();
    return true;
  }
  if (!ok) {
    CloseAndRemoveTemp();
    return false;
  }
  temp_path_.clear();
  SyncDirectory(DirName(target_));
  return true;
}

// The complete temporary file into the target, over its old bytes: space
// first, so a full disk fails before a byte of the old content goes.
bool TAtomicFileWriter::CopyInPlace() {
  const int from = ::open(temp_path_.c_str(), O_RDONLY | O_CLOEXEC);
  if (from < 0) return Fail(errno);
  const int to = ::open(target_.c_str(), O_WRONLY | O_CLOEXEC);
  if (to < 0) {
    const int err = errno;
    ::close(from);
    return Fail(err);
  }
  bool ok = true;
  const int reserved = size_ > 0 ? ::posix_fallocate(to, 0, static_cast<off_t>(size_)) : 0;
  if (reserved != 0 && reserved != EOPNOTSUPP && reserved != EINVAL) ok = Fail(reserved);
  std::vector<char> block(kBufferSize);
  off_t at = 0;
  while (ok) {
    const ssize_t n = ::read(from, block.data(), block.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ok = Fail(errno);
      break;
    }
    if (n == 0) break;
    for (ssize_t done = 0; ok && done < n;) {
      const ssize_t w = ::pwrite(to, block.data() + done, static_cast<size_t>(n - done), at);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        ok = Fail(w < 0 ? errno : ENOSPC);
        break;
      }
      done += w;
      at += w;
    }
  }
  if (ok && ::ftruncate(to, at) != 0) ok = Fail(errno);
  if (ok && ::fsync(to) != 0) ok = Fail(errno);
  if (::close(to) != 0 && ok) ok = Fail(errno);
  ::close(from);
  return ok;
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
