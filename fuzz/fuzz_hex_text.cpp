// Parses arbitrary bytes as lines of the MIDI Out box and renders the result
// back; checks that rendering and re-parsing give the same bytes.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "workbench/hex_text.h"

namespace {
class TNullLog : public kalvex::TLogSink {
public:
  void LogLine(const std::string&, bool, bool, kalvex::TLogKind) override {}
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TNullLog log;
  kalvex::THexParser parser(log);
  kalvex::THexParser again(log);
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  size_t pos = 0;
  int index = 0;
  while (pos <= text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    int count = 0;
    if (parser.ParseHexLine(index++, kalvex::TrimLine(text.substr(pos, end - pos)), count)) {
      const std::vector<uint8_t> bytes(parser.Data(), parser.Data() + count);
      const int limit = static_cast<int>(size % 5) - 1;  // -1 .. 3
      std::vector<uint8_t> roundTrip;
      kalvex::AppendBytesAsLines(bytes.data(), bytes.size(), limit, [&](std::string&& line) {
        int n = 0;
        if (!again.ParseHexLine(0, line, n) || line.size() != static_cast<size_t>(3 * n - 1)) abort();
        roundTrip.insert(roundTrip.end(), again.Data(), again.Data() + n);
      });
      if (roundTrip != bytes) abort();
    }
    pos = end + 1;
  }
  return 0;
}
