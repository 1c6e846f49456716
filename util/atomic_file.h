#pragma once
#include <cstddef>
#include <string>
#include <vector>

namespace kalvex {

// Byte sink used by savers; tests inject failing ones.
class TByteWriter {
public:
  virtual ~TByteWriter() = default;
  virtual bool Write(const void* data, size_t size) = 0;
};

// Writes a file atomically: a temporary file in the same folder is written
// (buffered), flushed, fsync'ed and renamed over the target on Commit(). Until
// Commit() succeeds the old file is untouched; the destructor removes an
// uncommitted temporary file. A replaced file keeps its permission bits.
// A symbolic link is followed, also one whose file does not exist yet (that
// file is created), so the link stays a link. Anything that exists and is
// not a regular file (a device node, a folder, a pipe) is refused: Open()
// fails with EINVAL or EISDIR.
//
// Where a rename would not do what a plain save does, the complete new
// content is written to a temporary file first and then copied into the
// file in place (its space reserved before): a file with more than one hard
// link (the links stay one file), a writable file in a folder that allows no
// new file, and another user's writable file in a sticky folder such as
// /tmp. Should that copy fail, the temporary file is kept (KeptCopy()).
class TAtomicFileWriter final : public TByteWriter {
public:
  static constexpr size_t kBufferSize = 256 * 1024;

  explicit TAtomicFileWriter(std::string path);
  ~TAtomicFileWriter() override;
  TAtomicFileWriter(const TAtomicFileWriter&) = delete;
  TAtomicFileWriter& operator=(const TAtomicFileWriter&) = delete;

  // False when the temporary file cannot be created.
  bool Open();
  // False on a short write (ENOSPC, EFBIG, ...) or when not open; a failure is
  // sticky, so every later Write and Commit fails too.
  bool Write(const void* data, size_t size) override;
  // False on any failure; the target is then untouched.
  bool Commit();
  // Drops the temporary file; the target stays as it was.
  void Discard();
  // errno of the first failure, 0 if none.
  int Error() const { return error_; }
  // Open failed because the folder allows no temporary file (the target is
  // never written in place instead).
  bool NoTempFile() const { return no_temp_file_; }

  // After a failed copy in place: the temporary file that holds the whole
  // new content, else empty.
  const std::string& KeptCopy() const { return kept_copy_; }

  const std::string& Path() const { return path_; }
  // The temporary file's path while one exists (for tests), else empty.
  const std::string& TempPath() const { return temp_path_; }

private:
  bool Fail(int err);
  bool OpenTemp(const std::string& dir);
  bool CopyInPlace();
  bool FlushBuffer();
  bool WriteAll(const char* data, size_t size);
  void CloseAndRemoveTemp();

  std::string path_;    // as given
  std::string target_;  // the file that is replaced (symbolic links resolved)
  std::string temp_path_;
  std::string kept_copy_;
  size_t size_ = 0;         // bytes written
  bool exists_ = false;
  bool in_place_ = false;   // copied into the target, not renamed over it
  unsigned mode_ = 0;
  std::vector<char> buffer_;
  size_t used_ = 0;
  int fd_ = -1;
  int error_ = 0;
  bool no_temp_file_ = false;
};

}  // namespace kalvex
