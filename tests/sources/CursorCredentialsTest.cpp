#include <gtest/gtest.h>

#include "sources/CursorCredentials.h"
#include "sources/CursorTestAccount.h"
#include "support/TempFolder.h"

namespace quorvin {
namespace {

namespace C = CursorCredentials;

using test::jwt;
using test::writeCursorStateDatabase;

TEST(CursorCredentials, TokenShape) {
  EXPECT_TRUE(C::validAccessToken("ab.cd.efgh"));
  EXPECT_FALSE(C::validAccessToken("ab.cd.efg"));  // 9 characters
  EXPECT_FALSE(C::validAccessToken("ab.cd.ef+gh"));
  EXPECT_FALSE(C::validAccessToken("abcd.efghij"));
  EXPECT_FALSE(C::validAccessToken("a.b.c.defghij"));
  EXPECT_TRUE(C::validAccessToken("..abcdefghij"));  // empty parts count
  EXPECT_FALSE(C::validAccessToken("ab.cd." + std::string(32'768, 'x')));
}

TEST(CursorCredentials, Subjects) {
  EXPECT_EQ(C::normalizeSubject("auth0|user_ab12"), "user_ab12");
  EXPECT_FALSE(C::normalizeSubject("auth0|user_ab-12"));
  EXPECT_EQ(C::normalizeSubject("github|12345"), "github|12345");
  EXPECT_EQ(C::normalizeSubject("google-oauth2|1.2@x_y-z"), "google-oauth2|1.2@x_y-z");
  EXPECT_FALSE(C::normalizeSubject("github|"));
  EXPECT_FALSE(C::normalizeSubject("gitlab|123"));
  EXPECT_FALSE(C::normalizeSubject("github|1|2"));
  EXPECT_FALSE(C::normalizeSubject("github|a b"));
  EXPECT_FALSE(C::normalizeSubject(""));
  EXPECT_FALSE(C::normalizeSubject("github|" + std::string(510, 'a')));

  EXPECT_EQ(C::jwtSubject(jwt(R"({"sub":"github|42","exp":1})")), "github|42");
  EXPECT_FALSE(C::jwtSubject(jwt(R"({"sub":42})")));
  EXPECT_FALSE(C::jwtSubject(jwt("[1]")));
  EXPECT_FALSE(C::jwtSubject("a.!!!.c"));
  EXPECT_FALSE(C::jwtSubject("onlyone"));
}

TEST(CursorCredentials, FromStateDatabaseAndCliConfig) {
  test::TempFolder home;
  const auto where = C::Locations::forHome(home.path(), home.path() / ".config");
  EXPECT_EQ(where.stateDatabase, home.path() / ".config/Cursor/User/globalStorage/state.vscdb");
  EXPECT_FALSE(C::credentials(where));  // signed out: no database at all

  const std::string token = jwt(R"({"sub":"auth0|user_ab12"})");
  writeCursorStateDatabase(where.stateDatabase, token);
  const auto fromToken = C::credentials(where);
  ASSERT_TRUE(fromToken);
  EXPECT_EQ(fromToken->cookie, "WorkosCursorSessionToken=user_ab12%3A%3A" + token);
  // SHA-256("user_ab12"), as sha256sum prints it.
  EXPECT_EQ(fromToken->accountKey, C::accountKey("user_ab12"));
  EXPECT_EQ(C::accountKey("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");

  // A token without a usable subject falls back to the command-line tool's sign-in.
  const std::string opaque = jwt(R"({"iss":"x"})");
  writeCursorStateDatabase(where.stateDatabase, opaque);
  EXPECT_FALSE(C::credentials(where));
  test::writeFile(where.cliConfig, R"({"authInfo":{"authId":"github|777","email":"a@b"}})");
  const auto fromCli = C::credentials(where);
  ASSERT_TRUE(fromCli);
  EXPECT_EQ(fromCli->cookie, "WorkosCursorSessionToken=github|777%3A%3A" + opaque);
  EXPECT_EQ(fromCli->accountKey, C::accountKey("github|777"));

  writeCursorStateDatabase(where.stateDatabase, "not+a.valid.token");
  EXPECT_FALSE(C::credentials(where));
  // The editor's files are never written.
  test::writeFile(where.stateDatabase, "garbage, not SQLite");
  EXPECT_FALSE(C::credentials(where));
  EXPECT_EQ(test::readFile(where.stateDatabase), "garbage, not SQLite");
}

}  // namespace
}  // namespace quorvin
