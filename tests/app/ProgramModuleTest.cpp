#include <gtest/gtest.h>

#include <filesystem>

#include "app/ProgramModule.h"
#include "support/ProgramRun.h"
#include "support/TempFolder.h"

namespace quorvin {
namespace {

namespace fs = std::filesystem;

const std::string kQuorvin = QUORVIN_BINARY_DIR "/src/app/quorvin";

TEST(ProgramModule, FoundInTheInstallTreeFirstThenBesideTheProgram) {
  const auto candidates = app::programModuleCandidates("/opt/Quorvin/bin/quorvin");
  ASSERT_EQ(candidates.size(), 2u);
  EXPECT_EQ(candidates[0], "/opt/Quorvin/lib/quorvin/libquorvin-program.so");
  EXPECT_EQ(candidates[1], "/opt/Quorvin/bin/libquorvin-program.so");
}

TEST(ProgramModule, OnlyAFileNoOneElseCanChangeIsLoaded) {
  test::TempFolder dir;
  const auto program = dir / "quorvin";
  const auto module = dir / "module.so";
  test::writeFile(program, "", fs::perms::owner_all);
  test::writeFile(module, "", fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_TRUE(app::isTrustedModule(module, program));
  fs::create_symlink(module, dir / "link.so");
  EXPECT_TRUE(app::isTrustedModule(dir / "link.so", program)) << "the build tree links the module beside copies";
  for (auto writable : {fs::perms::group_write, fs::perms::others_write}) {
    fs::permissions(module, writable, fs::perm_options::add);
    EXPECT_FALSE(app::isTrustedModule(module, program));
    fs::permissions(module, writable, fs::perm_options::remove);
  }
  EXPECT_FALSE(app::isTrustedModule(dir.path(), program));
  EXPECT_FALSE(app::isTrustedModule(dir / "missing.so", program));
}

// The executable alone runs the ledger; everything else needs the module, and says so
// plainly when it is missing or unsafe.
TEST(ProgramModule, TheLedgerRunsWithoutTheModuleAndOtherCommandsExplainItsAbsence) {
  test::TempFolder dir;
  const auto copy = test::privateCopyOf(kQuorvin, dir.path());
  const auto module = dir / app::kProgramModuleName;
  ASSERT_TRUE(fs::exists(module));
  EXPECT_EQ(test::runProgram("'" + copy + "' --version").status, 0);

  fs::remove(module);
  const auto ledger = test::runProgram("'" + copy + "' ledger --home '" + (dir / "home").string() + "' --json");
  EXPECT_EQ(ledger.status, 0) << ledger.output;
  EXPECT_NE(ledger.output.find("\"totals\""), std::string::npos) << ledger.output;
  const auto missing = test::runProgram("'" + copy + "' --version");
  EXPECT_EQ(missing.status, 2);
  EXPECT_NE(missing.output.find("libquorvin-program.so is missing beside"), std::string::npos) << missing.output;

  fs::copy_file(QUORVIN_BINARY_DIR "/src/app/libquorvin-program.so", module);
  fs::permissions(module, fs::perms::others_write, fs::perm_options::add);
  const auto unsafe = test::runProgram("'" + copy + "' --version");
  EXPECT_EQ(unsafe.status, 2);
  EXPECT_NE(unsafe.output.find("may be changed by other users"), std::string::npos) << unsafe.output;
}

}  // namespace
}  // namespace quorvin
