#include "util/atomic_file.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/util/temp_dir.h"

namespace kalvex {
namespace {

using test::ReadAll;
using test::TTempDir;
using test::WriteAll;

std::string Pattern(size_t size) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>(i * 131 + (i >> 8));
  return s;
}

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0);
  return st.st_mode & 07777;
}

TEST(AtomicFileWriter, WritesNewFileInPiecesLargerAndSmallerThanItsBuffer) {
  TTempDir dir;
  const std::string path = dir.File("out.syx");
  const std::string data = Pattern(3 * TAtomicFileWriter::kBufferSize + 17);
  {
    TAtomicFileWriter w(path);
    ASSERT_TRUE(w.Open());
    size_t pos = 0;
    // Small pieces, then one larger than the buffer, then the rest.
    for (int i = 0; i < 1000; ++i, pos += 7) ASSERT_TRUE(w.Write(data.data() + pos, 7));
    ASSERT_TRUE(w.Write(data.data() + pos, TAtomicFileWriter::kBufferSize + 5));
    pos += TAtomicFileWriter::kBufferSize + 5;
    ASSERT_TRUE(w.Write(data.data() + pos, data.size() - pos));
    EXPECT_FALSE(std::filesystem::exists(path));  // nothing visible before Commit
    ASSERT_TRUE(w.Commit());
    EXPECT_EQ(w.Error(), 0);
  }
  EXPECT_EQ(ReadAll(path), data);
  EXPECT_EQ(dir.EntryCount(), 1u);
}

TEST(AtomicFileWriter, ReplacesFileAndKeepsItsPermissions) {
  TTempDir dir;
  const std::string path = dir.File("settings.conf");
  WriteAll(path, "old content that is longer than the new one");
  ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
  TAtomicFileWriter w(path);
  ASSERT_TRUE(w.Open());
  ASSERT_TRUE(w.Write("new", 3));
  ASSERT_TRUE(w.Commit());
  EXPECT_EQ(ReadAll(path), "new");
  EXPECT_EQ(ModeOf(path), 0640u);
  EXPECT_EQ(dir.EntryCount(), 1u);
}

TEST(AtomicFileWriter, UncommittedOrDiscardedWriteLeavesOldFileAndNoTemporary) {
  TTempDir dir;
  const std::string path = dir.File("keep.txt");
  WriteAll(path, "precious");
  {
    TAtomicFileWriter w(path);
    ASSERT_TRUE(w.Open());
    ASSERT_TRUE(w.Write("partial", 7));
    EXPECT_TRUE(std::filesystem::exists(w.TempPath()));
  }  // destroyed without Commit
  {
    TAtomicFileWriter w(path);
    ASSERT_TRUE(w.Open());
    ASSERT_TRUE(w.Write(Pattern(TAtomicFileWriter::kBufferSize * 2).data(), TAtomicFileWriter::kBufferSize * 2));
    w.Discard();
    EXPECT_FALSE(w.Commit());
  }
  EXPECT_EQ(ReadAll(path), "precious");
  EXPECT_EQ(dir.EntryCount(), 1u);
}

TEST(AtomicFileWriter, FailureIsStickyAndWriteWithoutOpenFails) {
  TTempDir dir;
  TAtomicFileWriter w(dir.File("x"));
  EXPECT_FALSE(w.Write("a", 1));
  EXPECT_NE(w.Error(), 0);
  EXPECT_FALSE(w.Open());
  EXPECT_FALSE(w.Commit());
  EXPECT_EQ(dir.EntryCount(), 0u);
}

TEST(AtomicFileWriter, RefusesDeviceNodesFoldersAndMissingFolders) {
  TTempDir dir;
  for (const std::string& path : {std::string("/dev/null"), dir.Path(), dir.File("no/such/dir/file")}) {
    TAtomicFileWriter w(path);
    EXPECT_FALSE(w.Open()) << path;
    EXPECT_NE(w.Error(), 0) << path;
    EXPECT_FALSE(w.Commit()) << path;
  }
  EXPECT_EQ(dir.EntryCount(), 0u);
}

TEST(AtomicFileWriter, SymbolicLinkReplacesTheFileItPointsTo) {
  TTempDir dir;
  const std::string real = dir.File("real.txt");
  const std::string link = dir.File("link.txt");
  WriteAll(real, "old");
  std::filesystem::create_symlink(real, link);
  TAtomicFileWriter w(link);
  ASSERT_TRUE(w.Open());
  ASSERT_TRUE(w.Write("new", 3));
  ASSERT_TRUE(w.Commit());
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(ReadAll(real), "new");
}

bool Save(const std::string& path, const std::string& text) {
  TAtomicFileWriter w(path);
  return w.Open() && w.Write(text.data(), text.size()) && w.Commit() && w.KeptCopy().empty();
}

// Runs fn in a child process as the unprivileged user "nobody" (as root; a
// user that is not root runs it as itself): folder permissions bind it.
bool AsUser(const std::function<bool()>& fn) {
  if (::geteuid() != 0) return fn();
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
    ::_exit(fn() ? 0 : 1);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Where a rename would not do what a plain save does, the file is written in
// place after a complete copy: a link to a file that does not exist yet, a
// file with two names, a writable file in a folder that takes no new file,
// another user's writable file in a sticky folder.
TEST(AtomicFileWriter, SavesWhereARenameWouldNotDoWhatAPlainSaveDoes) {
  TTempDir dir;
  ::chmod(dir.Path().c_str(), 0755);
  // A dangling link: the file is made, the link stays.
  const std::string link = dir.File("link.txt");
  std::filesystem::create_symlink("made.txt", link);
  ASSERT_TRUE(Save(link, "new"));
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(ReadAll(dir.File("made.txt")), "new");
  // Two hard links stay one file.
  const std::string a = dir.File("a.txt"), b = dir.File("b.txt");
  WriteAll(a, "old content, longer than the new");
  std::filesystem::create_hard_link(a, b);
  ASSERT_TRUE(Save(a, "new"));
  EXPECT_EQ(ReadAll(b), "new");
  EXPECT_EQ(std::filesystem::hard_link_count(a), 2u);

  // Folders that take no new file (another user's view when we are root).
  const std::string copies = dir.File("copies");
  std::filesystem::create_directory(copies);
  ::chmod(copies.c_str(), 01777);
  ::setenv("TMPDIR", copies.c_str(), 1);
  const struct {
    const char* name;
    mode_t folderMode;
  } folders[] = {{"read-only folder", 0555}, {"sticky folder", 01777}};
  for (const auto& f : folders) {
    SCOPED_TRACE(f.name);
    if (f.folderMode == 01777 && ::geteuid() != 0) continue;  // needs a file of another user
    const std::string folder = dir.File(f.name);
    std::filesystem::create_directory(folder);
    const std::string file = folder + "/settings.txt";
    WriteAll(file, "old");
    ::chmod(file.c_str(), 0666);
    ::chmod(folder.c_str(), f.folderMode);
    EXPECT_TRUE(AsUser([&] { return Save(file, "written by a plain save"); }));
    EXPECT_EQ(ReadAll(file), "written by a plain save");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 1);  // no temporary file left
  }
  EXPECT_TRUE(std::filesystem::is_empty(copies));
  ::unsetenv("TMPDIR");
}

// A full disk, simulated with a file size limit in a child process: the write
// gets EFBIG instead of a signal, and the saver must notice it.
TEST(AtomicFileWriter, DiskFullFailsAndLeavesOldFileIntact) {
  TTempDir dir;
  const std::string path = dir.File("dump.syx");
  WriteAll(path, "old dump");
  for (const size_t size : {size_t{5000}, size_t{600 * 1024}}) {  // fails in Commit / in Write
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      std::signal(SIGXFSZ, SIG_IGN);
      const rlimit limit{4096, 4096};
      if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(10);
      // The writer is destroyed before _exit so that its clean-up runs.
      const int code = [&] {
        TAtomicFileWriter w(path);
        if (!w.Open()) return 11;
        const std::string data = Pattern(size);
        const bool wrote = w.Write(data.data(), data.size());
        const bool committed = wrote && w.Commit();
        if (committed) return 12;
        if (w.Error() != EFBIG) return 13;
        return wrote ? 0 : 1;  // 0: Commit noticed it, 1: Write did
      }();
      ::_exit(code);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), size < TAtomicFileWriter::kBufferSize ? 0 : 1) << size;
    EXPECT_EQ(ReadAll(path), "old dump");
    EXPECT_EQ(dir.EntryCount(), 1u);
  }
}

}  // namespace
}  // namespace kalvex
