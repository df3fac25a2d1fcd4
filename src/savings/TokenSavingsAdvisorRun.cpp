// Finding rtk and brew, and running them with bounded output and a time limit.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>
#include <boost/uuid/uuid.hpp>
#include <boost/uuid/uuid_generators.hpp>
#include <boost/uuid/uuid_io.hpp>

#include "savings/TokenSavingsAdvisor.h"
#include "sources/CsvReader.h"

namespace quorvin::TokenSavingsAdvisor {

namespace {

namespace fs = std::filesystem;

bool isExecutableFile(const fs::path& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// The run's two output files, removed however the run ends.
struct OutputFiles {
  fs::path out;
  fs::path err;
  explicit OutputFiles(const fs::path& directory) {
    const std::string stem = "quorvin-optimizer-" + boost::uuids::to_string(boost::uuids::random_generator()());
    out = directory / (stem + ".out");
    err = directory / (stem + ".err");
  }
  ~OutputFiles() {
    std::error_code ec;
    fs::remove(out, ec);
    fs::remove(err, ec);
  }
  OutputFiles(const OutputFiles&) = delete;
  OutputFiles& operator=(const OutputFiles&) = delete;
};

// At most `limit` leading bytes of a file the child wrote; a symlink put in its place is
// not followed.
std::string readPrefix(const fs::path& path, size_t limit) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return {};
  std::string bytes(limit, '\0');
  size_t used = 0;
  while (used < limit) {
    const ssize_t n = ::read(fd, bytes.data() + used, limit - used);
    if (n <= 0) break;
    used += static_cast<size_t>(n);
  }
  ::close(fd);
  bytes.resize(used);
  return bytes;
}

std::string commandLine(const fs::path& executable, const std::vector<std::string>& arguments) {
  std::string line = executable.filename().string();
  for (const auto& argument : arguments) line += " " + argument;
  return line;
}

bool isCancellation(const boost::system::system_error& error) {
  return error.code() == boost::asio::error::operation_aborted;
}

}  // namespace

std::optional<fs::path> findExecutable(const Environment& environment, std::string_view name,
                                       const std::vector<fs::path>& homeDirectories) {
  for (const auto& directory : homeDirectories) {
    const fs::path candidate = environment.home / directory / name;
    if (isExecutableFile(candidate)) return candidate;
  }
  for (const auto& directory : environment.systemDirectories) {
    const fs::path candidate = directory / name;
    if (isExecutableFile(candidate)) return candidate;
  }
  return std::nullopt;
}

std::optional<fs::path> findRtk(const Environment& environment) {
  return findExecutable(environment, "rtk", environment.rtkHomeDirectories);
}

std::optional<fs::path> findBrew(const Environment& environment) { return findExecutable(environment, "brew", {}); }

boost::asio::awaitable<CommandResult> run(Context& context, fs::path executable, std::vector<std::string> arguments,
                                          Duration timeLimit) {
  const OutputFiles files(context.environment.temporaryDirectory);
  const std::string line = commandLine(executable, arguments);

  ProcessRequest request;
  request.argv.reserve(arguments.size() + 1);
  request.argv.push_back(executable.string());
  for (auto& argument : arguments) request.argv.push_back(std::move(argument));
  request.standardOutput = ProcessOutput::toFile(files.out);
  request.standardError = ProcessOutput::toFile(files.err);
  request.timeLimit = timeLimit;

  ProcessResult result;
  bool cancelled = false;
  try {
    auto running = context.processes.run(std::move(request));
    result = co_await std::move(running);
  } catch (const boost::system::system_error& error) {
    // The runner has stopped the child's tree before giving up.
    if (!isCancellation(error)) throw;
    cancelled = true;
  }
  if (cancelled) throw AdvisorError::cancelled();

  switch (result.outcome) {
    case ProcessResult::Outcome::failedToStart:
      throw LaunchError(result.startError);
    case ProcessResult::Outcome::timedOut:
      throw AdvisorError::timedOut(line);
    case ProcessResult::Outcome::exited:
    case ProcessResult::Outcome::signaled:
      break;
  }

  auto read = [&files] {
    CommandResult texts;
    texts.standardOutput = CsvReader::repairedUtf8(readPrefix(files.out, kMaxOutputBytes));
    texts.standardError = CsvReader::repairedUtf8(readPrefix(files.err, kMaxOutputBytes));
    return texts;
  };
  auto reading = runBlocking(context.pool, std::move(read));
  CommandResult texts = co_await std::move(reading);
  texts.status = result.outcome == ProcessResult::Outcome::exited ? result.exitCode : 128 + result.signal;
  co_return texts;
}

}  // namespace quorvin::TokenSavingsAdvisor
