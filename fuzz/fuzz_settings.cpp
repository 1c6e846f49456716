// Feeds arbitrary bytes to the settings file reader: it must keep what parses
// and name every line it skips, without crashing, and what it keeps must
// survive a save and reload unchanged.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "util/registry_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kalvex::TRegistryTree tree;
  std::vector<std::string> problems;
  const bool clean = tree.Parse(std::string_view(reinterpret_cast<const char*>(data), size), &problems);
  if (clean != problems.empty()) __builtin_trap();
  for (const std::string& p : problems)
    if (p.rfind("line ", 0) != 0) __builtin_trap();
  kalvex::TRegistryTree back;
  if (!back.Parse(tree.Serialize(), nullptr) || !(back == tree)) __builtin_trap();
  return 0;
}
