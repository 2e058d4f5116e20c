// The limits both servers put on one client: the failed-login window and
// the per-address counts.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "client_limits.h"

namespace {

const int64_t kWindow = 60 * 1000;

std::unique_ptr<ClientLimits> Limits(int32_t failures) {
  std::unique_ptr<ClientLimits> l(new ClientLimits());
  l->budget = {failures, kWindow};
  return l;
}

}  // namespace

// Ten failures lock the address out until a minute after the first of
// them; the minute over, it starts afresh.
TEST(ClientLimits, FailedLoginWindow) {
  auto l = Limits(10);
  const int64_t t = 5000000;
  for (int i = 0; i < 9; i++) NoteFailedLogin(l.get(), "10.0.0.1", t + i * 1000);
  EXPECT_FALSE(LockedOut(l.get(), "10.0.0.1", t + 9000));
  NoteFailedLogin(l.get(), "10.0.0.1", t + 9000);
  EXPECT_TRUE(LockedOut(l.get(), "10.0.0.1", t + 9000));
  EXPECT_TRUE(LockedOut(l.get(), "10.0.0.1", t + kWindow - 1));
  EXPECT_FALSE(LockedOut(l.get(), "10.0.0.10", t + 9000));
  EXPECT_FALSE(LockedOut(l.get(), "10.0.0.1", t + kWindow));
  // After the minute one failure is one failure again.
  NoteFailedLogin(l.get(), "10.0.0.1", t + kWindow + 1);
  EXPECT_FALSE(LockedOut(l.get(), "10.0.0.1", t + kWindow + 2));

  // A full table still takes a new address: the entry whose window began
  // first gives way, and the newcomer is counted from its first failure.
  for (int i = 0; i < kFailedLoginSlots + 20; i++) {
    char address[32];
    snprintf(address, sizeof address, "10.1.%d.%d", i / 256, i % 256);
    NoteFailedLogin(l.get(), address, t + kWindow + 3);
  }
  for (int i = 0; i < 10; i++) NoteFailedLogin(l.get(), "10.9.9.9", t + kWindow + 4);
  EXPECT_TRUE(LockedOut(l.get(), "10.9.9.9", t + kWindow + 5));

  // Each server's own budget. An IPv6 client is its /64: the addresses an
  // attacker's one network hands out share one budget, in any spelling;
  // the next /64 is another client, and IPv4 (mapped or not) stays per
  // address.
  auto five = Limits(5);
  for (int i = 0; i < 5; i++) {
    char address[64];
    snprintf(address, sizeof address, "2001:db8:aaaa:bbbb:%x::1", i);
    NoteFailedLogin(five.get(), address, 1000);
  }
  EXPECT_TRUE(LockedOut(five.get(), "2001:0db8:aaaa:bbbb:ffff:ffff:ffff:ffff", 1000));
  EXPECT_FALSE(LockedOut(five.get(), "2001:db8:aaaa:bbbc::1", 1000));
  for (int i = 0; i < 5; i++) NoteFailedLogin(five.get(), "::ffff:10.0.0.1", 1000);
  EXPECT_TRUE(LockedOut(five.get(), "10.0.0.1", 1000));
  EXPECT_FALSE(LockedOut(five.get(), "::ffff:10.0.0.2", 1000));

  // The same refused pair again and again is one guess; a new pair counts.
  auto guesses = Limits(2);
  for (int i = 0; i < 5; i++) NoteFailedLogin(guesses.get(), "10.0.0.3", 1000, GuessOf("bob", "pw1"));
  EXPECT_FALSE(LockedOut(guesses.get(), "10.0.0.3", 1000));
  NoteFailedLogin(guesses.get(), "10.0.0.3", 1000, GuessOf("bob", "pw2"));
  EXPECT_TRUE(LockedOut(guesses.get(), "10.0.0.3", 1000));
}

// The per-address counts against a plain model: many addresses in a small
// table collide, and taking connections away in any order must leave every
// other address's count as it was.
TEST(ClientLimits, AddressCountsAgreeWithAModelThroughCollisionsAndRemovals) {
  auto l = Limits(10);
  EXPECT_EQ(CountClient(l.get(), "10.0.0.1"), 0u);  // no table: nothing counted
  ASSERT_EQ(InitAddressTable(l.get(), 64), 0);
  std::mt19937 rnd(11);
  std::map<std::string, uint32_t> model;
  std::vector<std::string> open;
  for (int step = 0; step < 4000; step++) {
    if (open.size() < 64 && (open.empty() || rnd() % 2 == 0)) {
      char address[64];
      // IPv6 texts longer than 31 characters share the table with
      // dotted ones: each /64 must be found whole, not by a cut-off prefix.
      const char *form = rnd() % 2 ? "10.0.%u.%u" : "2001:db8:%u:%u:cccc:dddd:eeee:ffff";
      snprintf(address, sizeof address, form, (unsigned)(rnd() % 3), (unsigned)(rnd() % 40));
      ASSERT_EQ(CountClient(l.get(), address), ++model[address]) << address << " step " << step;
      open.push_back(address);
    } else {
      size_t k = rnd() % open.size();
      UncountClient(l.get(), open[k].c_str());
      model[open[k]]--;
      open.erase(open.begin() + (long)k);
    }
  }
  for (const auto &entry : model)
    EXPECT_EQ(ClientHeld(l.get(), entry.first.c_str()), entry.second) << entry.first;
  // An address that holds nothing stays at nothing.
  UncountClient(l.get(), "10.7.7.7");
  EXPECT_EQ(ClientHeld(l.get(), "10.7.7.7"), 0u);
  FreeAddressTable(l.get());
}

// The default share: a quarter, raised to the floor, never above the total.
TEST(ClientLimits, DefaultShareOfOneAddress) {
  EXPECT_EQ(DefaultMaxPerAddress(1024, 32), 256u);
  EXPECT_EQ(DefaultMaxPerAddress(100, 32), 32u);
  EXPECT_EQ(DefaultMaxPerAddress(20, 32), 20u);
  EXPECT_EQ(DefaultMaxPerAddress(10, 16), 10u);
  EXPECT_EQ(DefaultMaxPerAddress(0, 16), 0u);
}
