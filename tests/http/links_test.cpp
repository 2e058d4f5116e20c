// Symbolic links in mirt's roots: a link that stays inside the root the
// request reached works; one leading out of it is a name that is not
// there, for files, index files, directories and listing rows alike.
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

class MirtLinks : public MirtTest {
 protected:
  void SetUp() override {
    Put("sub/a.txt", "inside");
    MakeDirs(site / "outside/dir");
    WriteFile(site / "outside/secret.txt", "TOPSECRET");
    WriteFile(site / "outside/dir/index.htm", "TOPSECRET INDEX");
    MakeDirs(site / "v");
    WriteFile(site / "v/b.txt", "virtual");
    Link("../outside", "out");
    Link(site / "outside", "abs");
    Link("../outside/secret.txt", "file.txt");
    Link("sub", "in");
    Link(Root() + "/sub", "absin");
    MakeDirs(Root() + "/idx");
    Link("../../outside/secret.txt", "idx/index.htm");
    // Inside the site, but outside the root of the prefix /v/.
    ASSERT_EQ(symlink("../www", (site / "v/up").c_str()), 0);
  }
  void Link(const std::string &target, const std::string &name) {
    ASSERT_EQ(symlink(target.c_str(), (Root() + "/" + name).c_str()), 0) << name;
  }
  // The answer a client ends with, following one redirect to the path
  // with its '/': it must be 404 and carry nothing from outside.
  void ExpectNotFound(const std::string &path) {
    Reply r = Get(path);
    if (r.status == 301) r = Get(path + "/");
    EXPECT_EQ(r.status, 404) << path;
    EXPECT_EQ(r.raw.find("TOPSECRET"), std::string::npos) << path;
  }
};

TEST_F(MirtLinks, NothingOutsideTheRootIsServedOrListed) {
  ASSERT_TRUE(Start("DirectoryListing=1\nAddVirtual=/v/;" + (site / "v") + "\n"));
  ExpectNotFound("/out/secret.txt");
  ExpectNotFound("/abs/secret.txt");
  ExpectNotFound("/file.txt");
  ExpectNotFound("/out/");
  ExpectNotFound("/out/dir/");
  ExpectNotFound("/v/up/sub/a.txt");
  Reply r = Get("/idx/");
  EXPECT_EQ(r.raw.find("TOPSECRET"), std::string::npos);
  EXPECT_EQ(r.body.find("index.htm"), std::string::npos) << r.body;

  // Links that stay inside keep working, relative or absolute.
  EXPECT_EQ(Get("/in/a.txt").body, "inside");
  EXPECT_EQ(Get("/absin/a.txt").body, "inside");
  EXPECT_EQ(Get("/v/b.txt").body, "virtual");
  Reply in = Get("/in/");
  EXPECT_EQ(in.status, 200);
  EXPECT_NE(in.body.find("a.txt"), std::string::npos);

  // The root's listing shows what lies inside, and no way out.
  Reply listing = Get("/");
  EXPECT_EQ(listing.status, 200);
  for (const char *shown : {">sub<", ">in<", ">absin<"})
    EXPECT_NE(listing.body.find(shown), std::string::npos) << shown;
  for (const char *hidden : {">out<", ">abs<", ">file.txt<"})
    EXPECT_EQ(listing.body.find(hidden), std::string::npos) << hidden << listing.body;
}

}  // namespace
