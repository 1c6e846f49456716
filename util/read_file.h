#pragma once
// The one routine that reads a whole file for every loader (the boxes, MIDI
// files, text lines, the settings). Only regular files are read: a folder, a
// named pipe, a device node or a socket is refused at once, never opened in
// a way that could block or read forever.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace kalvex {

struct TFileBytes {
  std::unique_ptr<uint8_t[]> data;  // not zero-filled: every byte up to size was read
  size_t size = 0;
  const char* chars() const { return reinterpret_cast<const char*>(data.get()); }
};

enum class TReadStatus {
  kOk,
  kMissing,     // no such file
  kNotRegular,  // a folder, pipe, device node or socket
  kCannotOpen,  // no permission, or another reason to refuse opening
  kTooLarge,    // more than the caller allows
  kNoMemory,
  kReadError,
};

// Opens a regular file for reading with the same checks, for readers that
// stream it; fd and size are set on kOk, and the caller closes fd.
TReadStatus OpenRegularFile(const std::string& path, int& fd, size_t& size, int* err = nullptr);

// Reads the whole file. onSize, when given, hears the size before the bytes
// are read (loaders log "Loading ..." then). A file that shrinks while it is
// read gives what was there. err gets errno for kCannotOpen and kReadError.
TReadStatus ReadRegularFile(const std::string& path, TFileBytes& out, size_t maxBytes = SIZE_MAX,
                            const std::function<void(size_t)>& onSize = {}, int* err = nullptr);

}  // namespace kalvex
