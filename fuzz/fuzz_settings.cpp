// Feeds arbitrary bytes to the settings file reader: it must accept or reject
// them without crashing, and what it accepts must survive a save and reload.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "util/registry_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kalvex::TRegistryTree tree;
  std::string error;
  if (!tree.Parse(std::string_view(reinterpret_cast<const char*>(data), size), &error)) {
    if (error.empty() || !tree.Empty()) __builtin_trap();
    return 0;
  }
  kalvex::TRegistryTree back;
  if (!back.Parse(tree.Serialize(), &error) || !(back == tree)) __builtin_trap();
  return 0;
}
