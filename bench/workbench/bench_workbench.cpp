// Benchmarks of the hex text format and of file conversion, each against a
// common command-line peer (xxd) measured in the same run.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "workbench/hex_text.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr size_t kDumpBytes = 20u * 1000 * 1000;
constexpr int kRuns = 3;

class TNullLog : public kalvex::TLogSink {
public:
  void LogLine(const std::string&, bool, bool, kalvex::TLogKind) override {}
};

// SysEx messages of random length (10 to 70000 bytes) adding up to about size bytes.
std::string MakeSysExDump(size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> length(10, 70000);
  std::uniform_int_distribution<int> data(0, 0x7F);
  std::string out;
  out.reserve(size + 70000);
  while (out.size() < size) {
    const int n = length(rng);
    out.push_back(static_cast<char>(0xF0));
    for (int i = 0; i < n - 2; ++i) out.push_back(static_cast<char>(data(rng)));
    out.push_back(static_cast<char>(0xF7));
  }
  return out;
}

void WriteFile(const fs::path& p, const std::string& bytes) {
  std::ofstream(p, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::string bytes(static_cast<size_t>(fs::file_size(p)), '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

struct TRunResult {
  double ms = 0;
  long maxRssKb = 0;
  int status = -1;
};

// Runs a command with standard output to a file (or /dev/null) and measures
// wall time and the child's peak resident memory.
TRunResult RunCommand(const std::vector<std::string>& argv, const std::string& stdoutPath) {
  TRunResult r;
  const auto start = Clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    const int out = open(stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int null = open("/dev/null", O_WRONLY);
    dup2(out, 1);
    dup2(null, 2);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  r.ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  r.maxRssKb = usage.ru_maxrss;
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

TRunResult BestOf(const std::vector<std::string>& argv, const std::string& stdoutPath) {
  TRunResult best;
  for (int i = 0; i < kRuns; ++i) {
    const TRunResult r = RunCommand(argv, stdoutPath);
    if (i == 0 || r.ms < best.ms) best = r;
    if (r.maxRssKb > best.maxRssKb) best.maxRssKb = r.maxRssKb;
    if (r.status != 0) best.status = r.status;
  }
  return best;
}

// Reads the text file and parses every line as the send engine would.
double ParseFileMs(const fs::path& textFile, size_t& bytesOut) {
  const auto start = Clock::now();
  const std::string text = ReadFile(textFile);
  TNullLog log;
  kalvex::THexParser parser(log);
  size_t total = 0;
  size_t pos = 0;
  int lineIndex = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    int count = 0;
    if (parser.ParseHexLine(lineIndex++, kalvex::TrimLine(std::string_view(text).substr(pos, end - pos)),
                            count))
      total += static_cast<size_t>(count);
    pos = end + 1;
  }
  bytesOut = total;
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

}  // namespace

int main() {
  const char* buildDir = std::getenv("KALVEX_BUILD_DIR");
  const fs::path kalvex = fs::path(buildDir ? buildDir : "build") / "kalvex";
  const fs::path dir = fs::temp_directory_path() / ("kalvex_bench_" + std::to_string(getpid()));
  fs::create_directories(dir);

  std::string dump = MakeSysExDump(kDumpBytes, 1);
  const fs::path syx = dir / "big.syx";
  WriteFile(syx, dump);

  // 1. Parsing the dump rendered as text.
  std::string text;
  {
    const auto* p = reinterpret_cast<const uint8_t*>(dump.data());
    size_t remaining = dump.size();
    while (remaining > 0) {
      kalvex::FormatHexLineInto(text, p, remaining, -1);
      text.push_back('\n');
    }
  }
  const fs::path hex = dir / "big.txt";
  WriteFile(hex, text);
  double parseMs = 0;
  size_t parsed = 0;
  for (int i = 0; i < kRuns; ++i) {
    const double ms = ParseFileMs(hex, parsed);
    if (i == 0 || ms < parseMs) parseMs = ms;
  }
  const TRunResult xxdR = BestOf({"xxd", "-r", "-p", hex.string()}, "/dev/null");
  std::printf("hex_parse_20mb: %.1f ms (peer xxd -r -p: %.1f ms; %zu bytes parsed%s)\n", parseMs,
              xxdR.ms, parsed, parsed == dump.size() ? "" : " MISMATCH");
  std::printf("hex_parse_speed_vs_xxd: %.2f x (target: >= 2.00 x)\n", xxdR.ms / parseMs);

  // The children's peak memory counts what they inherit before exec: the
  // dump and its text leave this process first (read back for the checks).
  const size_t dumpSize = dump.size();
  std::string().swap(text);
  std::string().swap(dump);

  // 2. kalvex --convert big.syx - against xxd -p, both printing to /dev/null;
  // the text itself is checked once, in a file.
  const fs::path outText = dir / "convert.out";
  const TRunResult check = BestOf({kalvex.string(), "--convert", syx.string(), "-"}, outText.string());
  const bool sameText = check.status == 0 && ReadFile(outText) == ReadFile(hex);
  const TRunResult conv = BestOf({kalvex.string(), "--convert", syx.string(), "-"}, "/dev/null");
  const TRunResult xxdP = BestOf({"xxd", "-p", syx.string()}, "/dev/null");
  std::printf("convert_syx_20mb: %.1f ms (peer xxd -p: %.1f ms%s)\n", conv.ms, xxdP.ms,
              sameText ? "" : "; kalvex OUTPUT WRONG");
  std::printf("convert_speed_vs_xxd: %.2f x (target: >= 1.00 x)\n", xxdP.ms / conv.ms);
  std::printf("convert_peak_memory: %.1f MB (peer xxd -p: %.1f MB; target: < 16 MB whatever the input size)\n",
              static_cast<double>(conv.maxRssKb) / 1024.0, static_cast<double>(xxdP.maxRssKb) / 1024.0);

  // 3. kalvex --convert big.txt out.syx against xxd -r -p into a file.
  const fs::path outSyx = dir / "convert.syx";
  const TRunResult back = BestOf({kalvex.string(), "--convert", hex.string(), outSyx.string()}, "/dev/null");
  const bool sameBytes = back.status == 0 && ReadFile(outSyx) == ReadFile(syx);
  const TRunResult xxdRp = BestOf({"xxd", "-r", "-p", hex.string()}, (dir / "xxd.syx").string());
  std::printf("convert_txt_to_syx_20mb: %.1f ms (peer xxd -r -p: %.1f ms%s)\n", back.ms, xxdRp.ms,
              sameBytes ? "" : "; kalvex OUTPUT WRONG");
  std::printf("convert_txt_to_syx_speed_vs_xxd: %.2f x (target: >= 1.00 x)\n", xxdRp.ms / back.ms);
  std::printf("convert_txt_to_syx_peak_memory: %.1f MB (target: < 16 MB)\n", static_cast<double>(back.maxRssKb) / 1024.0);

  fs::remove_all(dir);
  return sameText && sameBytes && parsed == dumpSize ? 0 : 1;
}
