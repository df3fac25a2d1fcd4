#include "app/ProgramModule.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace quorvin::app {

std::vector<std::filesystem::path> programModuleCandidates(const std::filesystem::path& executable) {
  const auto folder = executable.parent_path();
  return {folder.parent_path() / "lib" / "quorvin" / kProgramModuleName, folder / kProgramModuleName};
}

bool isTrustedModule(const std::filesystem::path& module, const std::filesystem::path& executable) {
  struct stat file {};
  struct stat program {};
  if (::stat(module.c_str(), &file) != 0 || !S_ISREG(file.st_mode)) return false;
  if ((file.st_mode & (S_IWGRP | S_IWOTH)) != 0) return false;
  const bool programKnown = ::stat(executable.c_str(), &program) == 0;
  return file.st_uid == 0 || file.st_uid == ::geteuid() || (programKnown && file.st_uid == program.st_uid);
}

int runProgramModule(int argc, char** argv) {
  std::error_code error;
  const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) {
    std::fprintf(stderr, "quorvin: cannot tell where this program is installed (%s)\n", error.message().c_str());
    return 2;
  }
  std::filesystem::path found;
  for (const auto& candidate : programModuleCandidates(executable)) {
    if (::access(candidate.c_str(), F_OK) != 0) continue;
    if (!isTrustedModule(candidate, executable)) {
      std::fprintf(stderr, "quorvin: %s may be changed by other users; it is not loaded\n", candidate.c_str());
      return 2;
    }
    found = candidate;
    break;
  }
  if (found.empty()) {
    std::fprintf(stderr, "quorvin: %s is missing beside %s; reinstall Quorvin\n", kProgramModuleName,
                 executable.c_str());
    return 2;
  }
  // Loaded for good: the module runs until the program exits.
  void* module = ::dlopen(found.c_str(), RTLD_NOW | RTLD_LOCAL);
  using Entry = int (*)(int, char**);
  auto entry = module != nullptr ? reinterpret_cast<Entry>(::dlsym(module, kProgramEntryName)) : nullptr;
  if (entry == nullptr) {
    const char* reason = ::dlerror();
    std::fprintf(stderr, "quorvin: cannot load %s (%s); reinstall Quorvin\n", found.c_str(),
                 reason != nullptr ? reason : "no entry point");
    return 2;
  }
  return entry(argc, argv);
}

}  // namespace quorvin::app
