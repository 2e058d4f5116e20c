#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "beneath.h"
#include "harness.h"

using harness::Exists;
using harness::MakeDirs;
using harness::ReadFile;
using harness::TempDir;
using harness::WriteFile;

namespace {

// Every case runs twice: through the kernel's resolution and through the
// component walk that stands in for it on kernels without openat2.
class Beneath : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    root = tmp / "root";
    MakeDirs(root + "/pub/sub");
    MakeDirs(tmp / "outside/dir");
    WriteFile(root + "/pub/file", "inside");
    WriteFile(tmp / "outside/secret", "secret");
    Link("../file", "pub/sub/up");                 // relative, stays inside
    Link(root + "/pub/file", "abs_in");            // absolute, stays inside
    Link("pub", "pubdir");                         // directory, inside
    Link("../outside/secret", "rel_out");          // relative, leads out
    Link(tmp / "outside/secret", "abs_out");       // absolute, leads out
    Link(tmp / "outside", "out");                  // directory, leads out
    Link(tmp / "outside/new", "vlink");            // dangling, leads out
    Link("loop", "loop");
    rootFd = OpenRoot(root.c_str());
    ASSERT_GE(rootFd, 0);
  }
  void TearDown() override {
    if (rootFd >= 0) close(rootFd);
  }
  void Link(const std::string &target, const std::string &rel) {
    ASSERT_EQ(0, symlink(target.c_str(), (root + "/" + rel).c_str()));
  }
  int Open(const std::string &path, int flags, mode_t mode = 0) {
    return GetParam() ? OpenBeneathByWalk(rootFd, path.c_str(), flags, mode)
                      : OpenBeneathAt(rootFd, path.c_str(), flags, mode);
  }
  // Contents read through the opened descriptor; "" with errno on refusal.
  std::string Read(const std::string &path) {
    int fd = Open(path, O_RDONLY);
    if (fd < 0) return "";
    char buf[64];
    ssize_t n = read(fd, buf, sizeof buf);
    close(fd);
    return n > 0 ? std::string(buf, (size_t)n) : std::string();
  }
  void ExpectRefused(const std::string &path, int flags = O_RDONLY) {
    errno = 0;
    int fd = Open(path, flags, 0644);
    EXPECT_LT(fd, 0) << path;
    EXPECT_EQ(EXDEV, errno) << path;
    if (fd >= 0) close(fd);
  }

  TempDir tmp;
  std::string root;
  int rootFd = -1;
};

TEST_P(Beneath, LinksInsideTheRootKeepWorking) {
  EXPECT_EQ("inside", Read("pub/file"));
  EXPECT_EQ("inside", Read("/pub/file"));
  EXPECT_EQ("inside", Read("pub/sub/up"));
  EXPECT_EQ("inside", Read("abs_in"));
  EXPECT_EQ("inside", Read("pubdir/file"));
  EXPECT_EQ("inside", Read("pub/../pub/./file"));
  EXPECT_EQ("inside", Read("pubdir/sub/../sub/up"));
  int dir = Open("/", O_RDONLY | O_DIRECTORY);
  EXPECT_GE(dir, 0);
  if (dir >= 0) close(dir);
}

TEST_P(Beneath, LinksAndDotDotOutAreRefused) {
  ExpectRefused("rel_out");
  ExpectRefused("abs_out");
  ExpectRefused("out/secret");
  ExpectRefused("out/dir", O_RDONLY | O_DIRECTORY);
  ExpectRefused("../outside/secret");
  ExpectRefused("pub/../../outside/secret");
  ExpectRefused("pubdir/../../outside/secret");
  ExpectRefused("pub/sub/../../..");
}

TEST_P(Beneath, NothingIsCreatedOrWrittenOutside) {
  ExpectRefused("vlink", O_WRONLY | O_CREAT | O_TRUNC);
  ExpectRefused("out/made", O_WRONLY | O_CREAT);
  ExpectRefused("abs_out", O_WRONLY | O_TRUNC);
  EXPECT_FALSE(Exists(tmp / "outside/new"));
  EXPECT_FALSE(Exists(tmp / "outside/made"));
  EXPECT_EQ("secret", ReadFile(tmp / "outside/secret"));

  int fd = Open("pubdir/made", O_WRONLY | O_CREAT | O_EXCL, 0644);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(2, write(fd, "ok", 2));
  close(fd);
  EXPECT_EQ("ok", ReadFile(root + "/pub/made"));
}

TEST_P(Beneath, LoopsAndMissingNamesFailPlainly) {
  errno = 0;
  EXPECT_LT(Open("loop", O_RDONLY), 0);
  EXPECT_EQ(ELOOP, errno);
  errno = 0;
  EXPECT_LT(Open("pub/none", O_RDONLY), 0);
  EXPECT_EQ(ENOENT, errno);
  errno = 0;
  EXPECT_LT(Open("pub/file/x", O_RDONLY), 0);
  EXPECT_EQ(ENOTDIR, errno);
}

INSTANTIATE_TEST_SUITE_P(KernelAndWalk, Beneath, ::testing::Bool());

TEST(BeneathParent, ActsOnTheLastNameItself) {
  TempDir tmp;
  std::string root = tmp / "root";
  MakeDirs(root + "/pub");
  MakeDirs(tmp / "outside/sub");
  WriteFile(tmp / "outside/f", "keep");
  ASSERT_EQ(0, symlink((tmp / "outside").c_str(), (root + "/out").c_str()));
  ASSERT_EQ(0, symlink((tmp / "outside/f").c_str(), (root + "/pub/l").c_str()));
  char name[256];

  errno = 0;
  EXPECT_LT(OpenParentBeneath(root.c_str(), "out/x", name, sizeof name), 0);
  EXPECT_EQ(EXDEV, errno);
  EXPECT_LT(OpenParentBeneath(root.c_str(), "/out/sub/", name, sizeof name), 0);
  EXPECT_LT(OpenParentBeneath(root.c_str(), "../x", name, sizeof name), 0);
  errno = 0;
  EXPECT_LT(OpenParentBeneath(root.c_str(), "/", name, sizeof name), 0);
  EXPECT_EQ(EINVAL, errno);
  EXPECT_LT(OpenParentBeneath(root.c_str(), "pub/..", name, sizeof name), 0);
  char small[4];
  errno = 0;
  EXPECT_LT(OpenParentBeneath(root.c_str(), "pub/long", small, sizeof small),
            0);
  EXPECT_EQ(ENAMETOOLONG, errno);

  int dir = OpenParentBeneath(root.c_str(), "/pub/new/", name, sizeof name);
  ASSERT_GE(dir, 0);
  EXPECT_STREQ("new", name);
  EXPECT_EQ(0, mkdirat(dir, name, 0755));
  close(dir);
  EXPECT_EQ(kDirectory, StatBeneath(root.c_str(), "pub/new"));

  // Removing a link removes the link, never what it points to.
  dir = OpenParentBeneath(root.c_str(), "pub/l", name, sizeof name);
  ASSERT_GE(dir, 0);
  EXPECT_EQ(0, unlinkat(dir, name, 0));
  close(dir);
  EXPECT_EQ("keep", ReadFile(tmp / "outside/f"));
}

TEST(BeneathStat, FollowsOnlyLinksThatStayInside) {
  TempDir tmp;
  std::string root = tmp / "root";
  MakeDirs(root);
  WriteFile(root + "/f", "12345");
  WriteFile(tmp / "secret", "1234567");
  ASSERT_EQ(0, symlink("f", (root + "/in").c_str()));
  ASSERT_EQ(0, symlink((tmp / "secret").c_str(), (root + "/out").c_str()));
  int64_t size = -1;
  EXPECT_EQ(kRegular, StatBeneath(root.c_str(), "in", &size));
  EXPECT_EQ(5, size);
  EXPECT_EQ(kMissing, StatBeneath(root.c_str(), "out", &size));
  EXPECT_EQ(kDirectory, StatBeneath(root.c_str(), "/"));
}

}  // namespace
