// One reader for every loader: regular files only, at once for the rest.
#include "util/read_file.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>

#include "tests/util/temp_dir.h"

namespace kalvex {
namespace {

TEST(ReadRegularFile, ReadsRegularFilesAndRefusesEverythingElseAtOnce) {
  test::TTempDir dir;
  test::WriteAll(dir.File("data.syx"), std::string("\xF0\x01\xF7", 3));
  test::WriteAll(dir.File("empty.txt"), "");
  ASSERT_EQ(::mkfifo(dir.File("pipe").c_str(), 0600), 0);  // nobody writes: opening it would block
  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", dir.File("socket").c_str());
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  const struct {
    std::string path;
    size_t max;
    TReadStatus status;
    size_t size;
  } cases[] = {
      {dir.File("data.syx"), SIZE_MAX, TReadStatus::kOk, 3},
      {dir.File("empty.txt"), SIZE_MAX, TReadStatus::kOk, 0},
      {dir.File("data.syx"), 2, TReadStatus::kTooLarge, 0},
      {dir.File("missing"), SIZE_MAX, TReadStatus::kMissing, 0},
      {dir.File("data.syx/below"), SIZE_MAX, TReadStatus::kMissing, 0},
      {dir.Path(), SIZE_MAX, TReadStatus::kNotRegular, 0},
      {dir.File("pipe"), SIZE_MAX, TReadStatus::kNotRegular, 0},
      {dir.File("socket"), SIZE_MAX, TReadStatus::kNotRegular, 0},
      {"/dev/zero", SIZE_MAX, TReadStatus::kNotRegular, 0},
  };
  for (const auto& c : cases) {
    TFileBytes bytes;
    size_t heard = 0;
    EXPECT_EQ(ReadRegularFile(c.path, bytes, c.max, [&](size_t n) { heard = n; }), c.status) << c.path;
    EXPECT_EQ(bytes.size, c.size) << c.path;
    if (c.status == TReadStatus::kOk) {
      EXPECT_EQ(heard, c.size) << c.path;
    }
  }
  TFileBytes bytes;
  ASSERT_EQ(ReadRegularFile(dir.File("data.syx"), bytes), TReadStatus::kOk);
  EXPECT_EQ(std::string(bytes.chars(), bytes.size), std::string("\xF0\x01\xF7", 3));
  ::close(sock);
}

}  // namespace
}  // namespace kalvex
