// Links inside an account's tree that point out of it: a hostile user who
// finds (or is handed) one tries to read, list, write, create and delete
// through it. Every attempt is refused; links that stay inside still work.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "data_fixture.h"
#include "hostile_fixture.h"
#include "zolf_fixture.h"

using harness::Conn;
using harness::Exists;
using harness::ReadFile;

TEST(FtpLinks, NothingOutsideTheRootIsReachedThroughALink) {
  Zolf z;
  z.SimpleAccount("eve", "pw",
                  "RETR STOR APPE LIST PASV CWD MKD RMD RMD_RECURSIVE DELE "
                  "RNFR RNTO SIZE MDTM");
  std::string out = z.dir / "outside";
  harness::MakeDirs(out + "/sub/deeper");
  harness::WriteFile(out + "/secret.txt", "the secret");
  harness::WriteFile(out + "/f", "keep me");
  harness::WriteFile(out + "/sub/deeper/g", "keep me too");
  harness::MakeDirs(z.Root() + "/pub");
  harness::WriteFile(z.Root() + "/pub/mine.txt", "mine");
  ASSERT_EQ(0, symlink(out.c_str(), (z.Root() + "/out").c_str()));
  ASSERT_EQ(0, symlink((out + "/new").c_str(), (z.Root() + "/vlink").c_str()));
  ASSERT_EQ(0, symlink((out + "/f").c_str(), (z.Root() + "/flink").c_str()));
  ASSERT_EQ(0, symlink("pub", (z.Root() + "/inlink").c_str()));
  ASSERT_TRUE(StartQuietly(z));
  Conn c;
  ASSERT_TRUE(z.Login(c, "eve", "pw"));

  Transfer t = Download(c, "RETR out/secret.txt");
  EXPECT_EQ(Text(t.start), "550 Requested action not taken.");
  EXPECT_EQ(t.data, "");
  EXPECT_EQ(Text(Cmd(c, "SIZE out/secret.txt")), "550 Requested action not taken.");
  EXPECT_EQ(Cmd(c, "MDTM /flink").rfind("550 ", 0), 0u);

  EXPECT_EQ(Text(Cmd(c, "CWD /out")), "550 Could not CWD.");
  t = Download(c, "LIST");
  EXPECT_EQ(Text(t.end), "226 Transfer complete.");
  EXPECT_EQ(t.data.find("secret"), std::string::npos) << t.data;
  EXPECT_NE(t.data.find(" inlink\r\n"), std::string::npos) << t.data;
  EXPECT_EQ(t.data.find(" flink\r\n"), std::string::npos) << t.data;
  // Nor is a listing of a path through the link.
  for (const char *through : {"LIST out", "LIST -l out/sub", "LIST /flink", "LIST out/*"}) {
    t = Download(c, through);
    EXPECT_EQ(Text(t.start), "550 Requested action not taken.") << through;
    EXPECT_EQ(t.data, "") << through;
  }

  t = Upload(c, "APPE vlink", "planted");
  EXPECT_EQ(Text(t.start), "550 Requested action not taken.");
  t = Upload(c, "APPE flink", "planted");
  EXPECT_EQ(Text(t.start), "550 Requested action not taken.");
  t = Upload(c, "STOR vlink", "planted");
  EXPECT_EQ(Text(t.start), "550 Requested action not taken.");
  EXPECT_EQ(Text(Cmd(c, "MKD out/x")), "550 Requested action not taken.");
  EXPECT_EQ(Cmd(c, "RMD out/sub").rfind("550 ", 0), 0u);
  EXPECT_EQ(Text(Cmd(c, "DELE out/f")), "450 Requested action not taken.");
  EXPECT_EQ(Text(Cmd(c, "DELE flink")), "450 Requested action not taken.");
  EXPECT_EQ(Text(Cmd(c, "RNFR out/f")), "450 Requested action not taken.");
  EXPECT_EQ(Text(Cmd(c, "RNTO /pub/stolen")), "550 Requested action not taken.");
  EXPECT_EQ(Text(Cmd(c, "RNFR /pub/mine.txt")),
            "350 Requested action pending further information.");
  EXPECT_EQ(Cmd(c, "RNTO /out/mine.txt").rfind("550 ", 0), 0u);

  EXPECT_FALSE(Exists(out + "/new"));
  EXPECT_FALSE(Exists(out + "/x"));
  EXPECT_FALSE(Exists(out + "/mine.txt"));
  EXPECT_EQ(ReadFile(out + "/f"), "keep me");
  EXPECT_EQ(ReadFile(out + "/sub/deeper/g"), "keep me too");
  EXPECT_EQ(ReadFile(out + "/secret.txt"), "the secret");

  // A link that stays inside the tree keeps working for every command.
  t = Download(c, "RETR inlink/mine.txt");
  EXPECT_EQ(t.data, "mine");
  EXPECT_EQ(Text(Cmd(c, "SIZE /inlink/mine.txt")), "213 4");
  EXPECT_EQ(Text(Cmd(c, "CWD /inlink")), "250 Requested action okay, completed.");
  t = Download(c, "LIST");
  EXPECT_NE(t.data.find(" mine.txt\r\n"), std::string::npos) << t.data;
  EXPECT_EQ(Text(Cmd(c, "MKD made")), "257 \"/inlink/made\" created.");
  EXPECT_TRUE(Exists(z.Root() + "/pub/made"));
  EXPECT_EQ(Text(Cmd(c, "DELE /inlink/mine.txt")), "250 Requested action okay, completed.");
  EXPECT_FALSE(Exists(z.Root() + "/pub/mine.txt"));
}
