#include <gtest/gtest.h>

#include "support/ProgramRun.h"
#include "update/RelaunchScript.h"

namespace quorvin {
namespace {

std::string shell(const std::string& command) { return test::runProgram(command).output; }

TEST(RelaunchScriptTest, QuotedPathsReachTheShellAsOneUnchangedWord) {
  for (const std::string path : {"/home/o'brien/.local/opt/Quorvin", "/a b/$(touch x)/`id`/\"q\"/'", "''", ""}) {
    EXPECT_EQ(shell("printf '%s|' " + RelaunchScript::shellQuote(path)), path + "|") << path;
  }
  EXPECT_EQ(RelaunchScript::shellQuote("it's"), "'it'\\''s'");
}

TEST(RelaunchScriptTest, ProcessPatternMatchesOnlyThePathItself) {
  const std::string path = "/home/a.b/c+d/[x]/Quorvin (1)/bin/quorvin";
  const std::string pattern = RelaunchScript::shellQuote(RelaunchScript::regexLiteral(path));
  EXPECT_EQ(shell("printf '%s\\n' " + RelaunchScript::shellQuote(path) + " | grep -E -x " + pattern), path + "\n");
  EXPECT_EQ(shell("printf '%s\\n' '/home/aXb/c+d/[x]/Quorvin (1)/bin/quorvin' | grep -E -x " + pattern), "");
}

TEST(RelaunchScriptTest, IsValidShellWithHostilePaths) {
  RelaunchScript script;
  script.currentPid = 99999;
  script.currentApp = "/home/o'brien/.local/opt/Quorvin";
  script.stagedApp = "/home/o'brien/.local/opt/.quorvin-update-1";
  script.backupApp = "/home/o'brien/.local/opt/.quorvin-previous";
  script.tarball = "/home/o'brien/.local/share/quorvin/updates/quorvin-2.0.0.tar.gz";
  script.script = "/home/o'brien/.local/share/quorvin/updates/install-1.sh";
  script.readyFile = "/home/o'brien/.local/share/quorvin/updates/ready-1.json";
  const std::string text = script.text();
  EXPECT_EQ(shell("/bin/sh -n -c " + RelaunchScript::shellQuote(text) + " && echo ok"), "ok\n");
  EXPECT_NE(text.find("'QUORVIN_UPDATE_READY_FILE=/home/o'\\''brien/.local/share/quorvin/updates/ready-1.json'"),
            std::string::npos);
}

}  // namespace
}  // namespace quorvin
