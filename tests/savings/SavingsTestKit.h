#pragma once

#include <sys/stat.h>

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <thread>
#include <string>
#include <string_view>

#include "savings/TokenSavingsAdvisor.h"
#include "support/ProcessEnds.h"
#include "support/TempFolder.h"

namespace quorvin::test {

// A home directory with its own temporary folder and one stand-in for the system's bin
// folders, where tests write fake rtk and brew programs.
struct SavingsHome {
  TempFolder dir;
  std::filesystem::path home = dir.path() / "home";
  std::filesystem::path temporary = dir.path() / "tmp";
  std::filesystem::path systemBin = dir.path() / "bin";
  std::filesystem::path log = dir.path() / "calls.log";

  SavingsHome() {
    std::filesystem::create_directories(home);
    std::filesystem::create_directories(temporary);
    std::filesystem::create_directories(systemBin);
  }

  TokenSavingsAdvisor::Environment environment() const {
    TokenSavingsAdvisor::Environment environment;
    environment.home = home;
    environment.temporaryDirectory = temporary;
    environment.systemDirectories = {systemBin};
    return environment;
  }

  // A shell script; every call appends its arguments to the log first.
  std::filesystem::path program(const std::filesystem::path& path, std::string_view body) const {
    writeFile(path, "#!/bin/sh\necho \"$(basename \"$0\") $*\" >> '" + log.string() + "'\n" + std::string(body));
    ::chmod(path.c_str(), 0755);
    return path;
  }

  // An rtk that answers like the optimizer: its version, a report, and init commands.
  std::filesystem::path rtk(std::string_view gain = kGain, const std::filesystem::path& where = {}) const {
    return program(where.empty() ? home / ".local/bin/rtk" : where,
                   "case \"$1\" in\n"
                   "  --version) echo 'rtk 0.9.1' ;;\n"
                   "  gain) printf '%s\\n' '" + std::string(gain) + "' ;;\n"
                   "  init) echo done ;;\n"
                   "  *) exit 2 ;;\n"
                   "esac\n");
  }

  std::string calls() const { return readFile(log); }
  bool temporaryEmpty() const { return std::filesystem::is_empty(temporary); }

  static constexpr std::string_view kGain =
      R"({"summary":{"total_commands":42,"total_input":10000,"total_output":2500,"total_saved":7500,"avg_savings_pct":75.0}})";
};


}  // namespace quorvin::test
