#include "sim/flash.h"

#include <gtest/gtest.h>

#include "sim/package_memories.h"
#include "support/sim_package.h"

namespace pelvane::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;

FlashBank TwoMemories() {
  FlashBank bank;
  EXPECT_FALSE(bank.Add({"AM29F040", 0x1000, 0x100, 1, 0xA4, {}}).has_value());
  EXPECT_FALSE(bank.Add({"I28F020", 0x1100, 0x100, 0x89, 0xBD, {}}, 0x00).has_value());
  return bank;
}

TEST(FlashBankTest, MemoriesMayTouchButNotOverlap) {
  FlashBank bank = TwoMemories();
  EXPECT_TRUE(bank.Add({"X", 0x10FF, 2, 0, 0, {}}).has_value());
  EXPECT_TRUE(bank.Add({"X", 0x0, 0x1001, 0, 0, {}}).has_value());
  EXPECT_TRUE(bank.Add({"X", 0x5000, 0, 0, 0, {}}).has_value());
  EXPECT_TRUE(bank.Add({"X", 0xFFFFFFFF, 2, 0, 0, {}}).has_value());
  EXPECT_FALSE(bank.Add({"X", 0xFFFFFFFF, 1, 0, 0, {}}).has_value());
  EXPECT_EQ(bank.memories().size(), 3u);
}

TEST(FlashBankTest, ProgrammingOnlyClearsBits) {
  FlashBank bank = TwoMemories();
  EXPECT_TRUE(bank.Program(0x1000, Bytes{0xF0, 0x3C}).ok);
  // Clearing more bits of a programmed byte works; setting one fails there,
  // after the bytes before it went in.
  const FlashOutcome r = bank.Program(0x1000, Bytes{0x30, 0x3C, 0x01});
  EXPECT_TRUE(r.ok);
  const FlashOutcome bad = bank.Program(0x1000, Bytes{0x20, 0x7C});
  EXPECT_FALSE(bad.ok);
  EXPECT_EQ(bad.fail_address, 0x1001u);
  EXPECT_EQ(*bank.Read(0x1000, 3), (Bytes{0x20, 0x3C, 0x01}));
  EXPECT_TRUE(bank.Erase(0x1000, 2).ok);
  EXPECT_EQ(*bank.Read(0x1000, 3), (Bytes{0xFF, 0xFF, 0x01}));
}

TEST(FlashBankTest, AccessOutsideOneMemoryFails) {
  FlashBank bank = TwoMemories();
  // A block running from one memory into the next is still outside "one memory".
  const FlashOutcome across = bank.Program(0x10FF, Bytes{0, 0});
  EXPECT_FALSE(across.ok);
  EXPECT_EQ(across.fail_address, 0x1100u);
  EXPECT_EQ(bank.Program(0x0800, Bytes{0}).fail_address, 0x0800u);
  EXPECT_FALSE(bank.Erase(0x11F0, 0x20).ok);
  EXPECT_EQ(*bank.Read(0x11F0, 0x10), Bytes(0x10, 0x00));  // the failed erase changed nothing
  EXPECT_FALSE(bank.Read(0x11F0, 0x11).has_value());
  EXPECT_FALSE(bank.Sum(0x2000, 1).has_value());
  EXPECT_EQ(bank.At(0x1150)->name, "I28F020");
  EXPECT_EQ(bank.At(0x1200), nullptr);
}

TEST(FlashBankTest, SumIsOverTheStoredBytes) {
  FlashBank bank = TwoMemories();
  EXPECT_EQ(*bank.Sum(0x1000, 0x100), 0xFFu * 0x100);
  EXPECT_EQ(*bank.Sum(0x1100, 0x100), 0u);
  EXPECT_FALSE(bank.Preload(0x1000, Bytes{0x12, 0x34}).has_value());
  EXPECT_EQ(*bank.Sum(0x1000, 2), 0x46u);
}

TEST(FlashBankTest, KnownPartsBringTheirCodes) {
  EXPECT_EQ(FlashTypeIndex("AM29F040"), 0x16);
  EXPECT_EQ(FlashTypeIndex("am29f040"), 0);
  EXPECT_EQ(KnownFlashCodes("I28F010")->manufacturer, 0x89u);
  EXPECT_FALSE(KnownFlashCodes("NOR9000").has_value());
}

TEST(PackageMemoriesTest, ReadsTheMemoryEntriesInOrder) {
  const std::string ini =
      "[host]\nBAUD=115200\n"
      "[Target]\n"
      "memory = 0x400000, 0X100000, AM29F040 ; main flash\n"
      "MEMORY1=4096,256,I28F010\n"
      "MEMORY3=0,1,NEVER_READ\n";
  const auto m = MemoriesFromConfiguration(ini, "test");
  ASSERT_EQ(m.size(), 2u);
  EXPECT_EQ(m[0].base, 0x400000u);
  EXPECT_EQ(m[0].size, 0x100000u);
  EXPECT_EQ(m[0].name, "AM29F040");
  EXPECT_EQ(m[1].base, 4096u);
  EXPECT_EQ(m[1].name, "I28F010");
}

TEST(PackageMemoriesTest, BadEntriesAreNamed) {
  EXPECT_THROW(MemoriesFromConfiguration("[TARGET]\nMEMORY=NA\n", "p"), std::runtime_error);
  try {
    MemoriesFromConfiguration("[TARGET]\nMEMORY=0x10,abc,AM29F040\n", "pkg.qxpkg");
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("pkg.qxpkg"), std::string::npos);
    EXPECT_NE(std::string(e.what()).find("MEMORY"), std::string::npos);
  }
  EXPECT_THROW(MemoriesFromPackage("/nonexistent/x.qxpkg"), std::runtime_error);
}

TEST(PackageMemoriesTest, TakenFromThePackageArchive) {
  pelvane::test::ScratchDir dir("pelvane-sim-memories", "archive");
  pelvane::test::SimPackage package;
  package.target = "MEMORY1=0x480000,0x80000,AM29F040\n";
  ASSERT_EQ(package.Write(dir / "sound.qxpkg"), "");
  const auto memories = MemoriesFromPackage((dir / "sound.qxpkg").string());
  ASSERT_EQ(memories.size(), 2u);
  EXPECT_EQ(memories[1].base, 0x480000u);
  EXPECT_EQ(memories[1].size, 0x80000u);
  EXPECT_EQ(memories[1].name, "AM29F040");
}

}  // namespace
}  // namespace pelvane::sim
