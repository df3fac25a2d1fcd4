// Log parser throughput over a generated corpus, next to a plain read-and-split-lines
// pass over the same bytes, with the sums checked against the corpus's ground truth.
// Prints one "name: value unit" line per figure; exits non-zero on a wrong sum.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "corpus/LogCorpus.h"
#include "usage/UsageLogParser.h"

namespace {

using namespace quorvin;

constexpr size_t kChunkBytes = 256u << 10;
constexpr int kRepeats = 5;

// Reads a file in fixed chunks and hands out whole lines, copying only the lines that
// straddle two chunks: the same framing a log tailer does.
class LineReader {
 public:
  template <typename OnLine>
  void read(const std::filesystem::path& path, OnLine&& onLine) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    carry_.clear();
    for (;;) {
      const ssize_t n = ::read(fd, chunk_.data(), chunk_.size());
      if (n <= 0) break;
      const char* p = chunk_.data();
      const char* const end = p + n;
      while (p < end) {
        const char* newline = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
        if (!newline) {
          carry_.append(p, end);
          break;
        }
        if (carry_.empty()) {
          onLine(std::string_view(p, static_cast<size_t>(newline - p)));
        } else {
          carry_.append(p, newline);
          onLine(std::string_view(carry_));
          carry_.clear();
        }
        p = newline + 1;
      }
    }
    if (!carry_.empty()) onLine(std::string_view(carry_));
    ::close(fd);
  }

 private:
  std::vector<char> chunk_ = std::vector<char>(kChunkBytes);
  std::string carry_;
};

struct Pass {
  double seconds = 1e30;
  UsageCounters sum;
  uint64_t lines = 0;
  uint64_t decodedBytes = 0;
};

template <typename Body>
double timed(Body&& body) {
  const auto start = std::chrono::steady_clock::now();
  body();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

Pass readAndSplit(const std::vector<bench::CorpusFile>& files) {
  LineReader reader;
  Pass best;
  for (int r = 0; r < kRepeats; ++r) {
    uint64_t lines = 0, bytes = 0;
    const double seconds = timed([&] {
      for (const auto& file : files) {
        reader.read(file.path, [&](std::string_view line) {
          ++lines;
          bytes += line.size();
        });
      }
    });
    best.seconds = std::min(best.seconds, seconds);
    best.lines = lines + (bytes == 0 ? 1 : 0);
  }
  return best;
}

Pass parseAll(const std::vector<bench::CorpusFile>& files) {
  LineReader reader;
  Pass best;
  for (int r = 0; r < kRepeats; ++r) {
    UsageCounters sum;
    uint64_t decoded = 0;
    const double seconds = timed([&] {
      for (const auto& file : files) {
        UsageParserState state;
        reader.read(file.path, [&](std::string_view line) {
          if (auto event = UsageLogParser::parse(line, file.source, state)) sum += event->counters;
        });
      }
    });
    if (r == 0) {
      for (const auto& file : files) {
        reader.read(file.path, [&](std::string_view line) {
          if (UsageLogParser::admits(line, file.source)) decoded += line.size();
        });
      }
    }
    best.seconds = std::min(best.seconds, seconds);
    best.sum = sum;
    if (r == 0) best.decodedBytes = decoded;
  }
  return best;
}

void figure(const char* name, double value, const char* unit) { std::printf("%s: %.1f %s\n", name, value, unit); }

bool check(const char* source, const UsageCounters& got, const UsageCounters& want) {
  if (got == want) return true;
  std::fprintf(stderr,
               "%s sums differ from the ground truth: got %lld/%lld/%lld/%lld, want %lld/%lld/%lld/%lld\n", source,
               static_cast<long long>(got.input), static_cast<long long>(got.output),
               static_cast<long long>(got.cacheRead), static_cast<long long>(got.cacheWrite),
               static_cast<long long>(want.input), static_cast<long long>(want.output),
               static_cast<long long>(want.cacheRead), static_cast<long long>(want.cacheWrite));
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  const std::filesystem::path directory =
      argc > 1 ? std::filesystem::path(argv[1]) : std::filesystem::path(QUORVIN_BINARY_DIR) / "bench-corpus" / "logs";
  const bench::Corpus corpus = bench::writeCorpus(directory, bench::CorpusSpec{});

  bool ok = true;
  double claudeRatio = 0;
  for (UsageSource source : {UsageSource::codex, UsageSource::claude}) {
    std::vector<bench::CorpusFile> files;
    for (const auto& file : corpus.files) {
      if (file.source == source) files.push_back(file);
    }
    const bench::GroundTruth truth = corpus.total(source);
    const std::string name(rawValue(source));
    const double megabytes = static_cast<double>(truth.bytes) / 1e6;

    readAndSplit(files);  // warm the page cache
    const Pass split = readAndSplit(files);
    const Pass parsed = parseAll(files);
    ok = check(name.c_str(), parsed.sum, truth.counters) && ok;

    figure((name + "_corpus").c_str(), megabytes, "MB");
    figure((name + "_decoded_share").c_str(), 100.0 * static_cast<double>(parsed.decodedBytes) / static_cast<double>(truth.bytes), "%");
    figure((name + "_read_split").c_str(), megabytes / split.seconds, "MB/s");
    figure((name + "_parser").c_str(), megabytes / parsed.seconds, "MB/s");
    const double ratio = 100.0 * split.seconds / parsed.seconds;
    if (source == UsageSource::claude) {
      claudeRatio = ratio;
    } else {
      figure((name + "_parser_vs_read_split").c_str(), ratio, "%");
    }
  }
  figure("claude_parser_vs_read_split", claudeRatio, "%");
  std::fflush(stdout);
  return ok ? 0 : 1;
}
