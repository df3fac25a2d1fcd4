// Writes a generated corpus of agent logs and prints the sums a correct reader must find.
#include <CLI/CLI.hpp>

#include <cstdio>

#include "corpus/LogCorpus.h"

int main(int argc, char** argv) {
  using namespace quorvin;
  CLI::App app{"Generates Claude Code and Codex logs with their ground truth"};
  std::string directory;
  bench::CorpusSpec spec;
  size_t claudeMiB = spec.claudeFileBytes >> 20, codexMiB = spec.codexFileBytes >> 20;
  app.add_option("directory", directory, "where to write the files")->required();
  app.add_option("--claude-files", spec.claudeFiles, "number of Claude Code session files");
  app.add_option("--claude-mib", claudeMiB, "size of each Claude Code file in MiB");
  app.add_option("--codex-files", spec.codexFiles, "number of Codex rollout files");
  app.add_option("--codex-mib", codexMiB, "size of each Codex file in MiB");
  app.add_option("--seed", spec.seed, "random seed");
  CLI11_PARSE(app, argc, argv);
  spec.claudeFileBytes = claudeMiB << 20;
  spec.codexFileBytes = codexMiB << 20;

  const bench::Corpus corpus = bench::writeCorpus(directory, spec);
  for (const bench::CorpusFile& file : corpus.files) {
    const UsageCounters& c = file.truth.counters;
    std::printf("%s\t%s\tbytes=%llu lines=%llu usage_lines=%llu input=%lld output=%lld cache_read=%lld cache_write=%lld\n",
                file.path.c_str(), std::string(rawValue(file.source)).c_str(),
                static_cast<unsigned long long>(file.truth.bytes), static_cast<unsigned long long>(file.truth.lines),
                static_cast<unsigned long long>(file.truth.usageLines), static_cast<long long>(c.input),
                static_cast<long long>(c.output), static_cast<long long>(c.cacheRead), static_cast<long long>(c.cacheWrite));
  }
  return 0;
}
