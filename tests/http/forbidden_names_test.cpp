// Forbidden names against a client looking for a way round them: other
// spellings of the path, other routes to the same directory, and nested
// entries for different users.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "harness.h"
#include "mirt_fixture.h"

using harness::MakeDirs;
using harness::WriteFile;
using mirt_test::MirtTest;
using mirt_test::Reply;

namespace {

// Basic credentials: demo:demo, root:rootpw.
const char kDemo[] = "Authorization: Basic ZGVtbzpkZW1v\r\n";
const char kRoot[] = "Authorization: Basic cm9vdDpyb290cHc=\r\n";

std::string Realm(int n) {
  return "Basic realm=\"" + std::to_string(n) + " MB of RAM and no soul.\"";
}

class MirtForbidden : public MirtTest {
 protected:
  void SetUp() override {
    Put("pub/secret.cfg", "SECRET CONFIG");
    Put("pub/open.txt", "open");
  }
  // 403, and nothing of the guarded file in the answer.
  void ExpectBlocked(const std::string &path, const std::string &headers = "") {
    Reply r = Get(path, headers);
    EXPECT_EQ(r.status, 403) << path;
    EXPECT_EQ(r.raw.find("SECRET CONFIG"), std::string::npos) << path;
  }
};

TEST_F(MirtForbidden, EverySpellingOfAPathMeetsTheName) {
  ASSERT_TRUE(Start("AddForbidden=pub/secret.cfg\n"));
  for (const char *path : {"/pub/secret.cfg", "/pub/./secret.cfg", "/pub//secret.cfg",
                           "//pub/secret.cfg", "/./pub/././/secret.cfg",
                           "/pub/%2E/secret.cfg", "/pub%2F%2Fsecret.cfg"})
    ExpectBlocked(path);
  EXPECT_EQ(Get("/pub/./open.txt").body, "open");
  ASSERT_EQ(Stop(), 0);
  // The log shows the path that was looked at.
  EXPECT_NE(Log().find(" GET /pub/open.txt 200 "), std::string::npos) << Log();
}

// The same directory through a second virtual prefix, a virtual host and a
// link inside the site: the entry names pub/secret.cfg and guards it by
// every route, in listings too.
TEST_F(MirtForbidden, ANameIsGuardedByEveryRoute) {
  ASSERT_EQ(symlink("pub", (Root() + "/alias").c_str()), 0);
  std::string root = Root();
  ASSERT_TRUE(Start("DirectoryListing=1\nAddForbidden=pub/secret.cfg\n"
                    "AddHost=files.example;" + root + "/pub\nAddHost=www.example;" + root +
                    "\nAddVirtual=/files/;" + root + "/pub\n"));
  ExpectBlocked("/files/secret.cfg");
  ExpectBlocked("/alias/secret.cfg");
  ExpectBlocked("/secret.cfg", "Host: files.example\r\n");
  EXPECT_EQ(Get("/files/open.txt").body, "open");
  EXPECT_EQ(Get("/open.txt", "Host: files.example\r\n").body, "open");
  Reply listing = Get("/files/");
  EXPECT_EQ(listing.status, 200);
  EXPECT_NE(listing.body.find("open.txt"), std::string::npos);
  EXPECT_EQ(listing.body.find("secret.cfg"), std::string::npos) << listing.body;
}

// A directory guarded for a user stays guarded when reached by another
// prefix, with its password asked for.
TEST_F(MirtForbidden, AGuardedDirectoryAsksForItsPasswordByEveryRoute) {
  Put("private/p.txt", "PRIVATE");
  std::string root = Root();
  // The password "demo", kept as the hash mirt -hash makes of it.
  std::string hash;
  ASSERT_EQ(harness::Run("printf 'demo\\n' | " + harness::Bin("mirt") + " -hash", &hash, 10), 0);
  ASSERT_EQ(hash.rfind("$y$", 0), 0u) << hash;
  ASSERT_TRUE(Start("AddForbidden=private;demo\nAddUser=demo;" + hash.substr(0, hash.find('\n')) +
                    "\nAddVirtual=/p/;" + root + "/private\n"));
  Reply r = Get("/p/p.txt");
  EXPECT_EQ(r.status, 401);
  EXPECT_EQ(r.Header("WWW-Authenticate"), Realm(1));
  EXPECT_EQ(r.raw.find("PRIVATE"), std::string::npos);
  EXPECT_EQ(Get("/p/", "").status, 401);
  EXPECT_EQ(Get("/p/p.txt", kDemo).body, "PRIVATE");
}

// Nested entries for different users: every one applies, the most specific
// asking first.
TEST_F(MirtForbidden, EveryMatchingEntryApplies) {
  Put("private/x.txt", "DEMO'S");
  Put("private/admin/x.txt", "ADMIN ONLY");
  ASSERT_TRUE(Start("AddForbidden=private;demo\nAddForbidden=private/admin;root\n"
                    "AddUser=demo;demo\nAddUser=root;rootpw\n"));
  EXPECT_EQ(Get("/private/x.txt", kDemo).body, "DEMO'S");
  Reply r = Get("/private/admin/x.txt", kDemo);
  EXPECT_EQ(r.status, 401) << "demo:demo opened a name guarded for root";
  EXPECT_EQ(r.Header("WWW-Authenticate"), Realm(2));
  EXPECT_EQ(r.raw.find("ADMIN ONLY"), std::string::npos);
  EXPECT_EQ(Get("/private/admin/x.txt").Header("WWW-Authenticate"), Realm(2));
  // root passes its own entry; the outer one still asks for its password.
  r = Get("/private/admin/x.txt", kRoot);
  EXPECT_EQ(r.status, 401);
  EXPECT_EQ(r.Header("WWW-Authenticate"), Realm(1));
}

TEST_F(MirtForbidden, AnEntryWithoutUserBlocksWhateverElseMatches) {
  Put("private/admin/x.txt", "ADMIN ONLY");
  ASSERT_TRUE(Start("AddForbidden=private;demo\nAddForbidden=admin\nAddUser=demo;demo\n"));
  ExpectBlocked("/private/admin/x.txt", kDemo);
}

}  // namespace
