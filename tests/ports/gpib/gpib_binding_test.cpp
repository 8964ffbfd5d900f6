// The run-time binding: loading, the status words after every call, and the
// rules for a missing library, status variable or function.
#include <cerrno>
#include <cstdlib>

#include "fake_port_fixture.h"

namespace pelvane::ports::gpib::testing {
namespace {

using core::Status;

class GpibBindingTest : public FakeDriverTest {
 protected:
  void ExpectFailureWords() {
    EXPECT_EQ(binding.ibsta(), kErr);
    EXPECT_EQ(binding.iberr(), kEdvr);
    EXPECT_NE(binding.ibcntl(), 0);
    EXPECT_EQ(binding.ibcnt(), binding.ibcntl());
  }
};

TEST_F(GpibBindingTest, StatusWordsFollowTheDriverAfterEveryCall) {
  const std::uint8_t bytes[] = {9, 8, 7};
  fake_gpib_push_read(kCmpl | kEnd, 0, 3, bytes, 3);
  fake_gpib_push_read(kErr | kTimo, kEabo, 1, bytes, 1);
  std::uint8_t buffer[3];
  EXPECT_EQ(binding.ibrd(5, buffer, 3), kCmpl | kEnd);
  EXPECT_EQ(binding.ibsta(), kCmpl | kEnd);
  EXPECT_EQ(binding.ibcntl(), 3);
  EXPECT_EQ(binding.ibcnt(), 3);
  EXPECT_EQ(binding.ibrd(5, buffer, 3), kErr | kTimo);
  EXPECT_EQ(binding.ibsta(), kErr | kTimo);
  EXPECT_EQ(binding.iberr(), kEabo);
  EXPECT_EQ(binding.ibcntl(), 1);
  EXPECT_EQ(binding.ibcnt(), 1);
  EXPECT_TRUE(binding.loaded());
  EXPECT_EQ(binding.loadError(), "");
}

TEST_F(GpibBindingTest, MissingLibraryFailsEveryCallAndIsTriedAgainLater) {
  libraryPath = "/nonexistent/libgpib-missing.so.0";
  EXPECT_EQ(binding.ibdev(0, 28, 0, kT10s, 1, 0), -1);
  ExpectFailureWords();
  EXPECT_EQ(binding.ibcntl(), ENOENT);
  EXPECT_THAT(binding.loadError(), ::testing::HasSubstr("libgpib-missing.so.0"));
  EXPECT_EQ(binding.ibtmo(5, kT3s), kErr);
  EXPECT_FALSE(binding.loaded());
  EXPECT_EQ(Calls(), "");

  libraryPath = FAKE_GPIB_LIBRARY;
  EXPECT_EQ(binding.ibdev(0, 28, 0, kT10s, 1, 0), 5);
  EXPECT_TRUE(binding.loaded());
  EXPECT_EQ(binding.ibsta(), kCmpl);
  EXPECT_EQ(binding.loadError(), "");
}

TEST_F(GpibBindingTest, LibraryWithoutItsStatusVariablesCountsAsMissing) {
  libraryPath = FAKE_GPIB_LIBRARY_WITHOUT_STATUS;
  EXPECT_EQ(binding.ibsic(5), kErr);
  ExpectFailureWords();
  EXPECT_FALSE(binding.loaded());
  EXPECT_THAT(binding.loadError(), ::testing::HasSubstr("iberr"));
}

TEST_F(GpibBindingTest, MissingFunctionFailsAloneAndIsLookedUpAgain) {
  libraryPath = FAKE_GPIB_LIBRARY_WITHOUT_IBDEV;
  EXPECT_EQ(binding.ibdev(0, 28, 0, kT10s, 1, 0), -1);
  ExpectFailureWords();
  EXPECT_THAT(binding.loadError(), ::testing::HasSubstr("ibdev"));
  // A function the library has is found; the library stays loaded.
  EXPECT_EQ(binding.ibsic(5), kCmpl);
  EXPECT_EQ(binding.ibsta(), kCmpl);
  EXPECT_TRUE(binding.loaded());
  // A missing function returns the failure status word, not a stale one.
  EXPECT_EQ(binding.ibloc(5), kErr);
  ExpectFailureWords();
}

TEST_F(GpibBindingTest, PortOnMissingLibraryFailsWith102AndLoadsOnALaterOpen) {
  libraryPath = "/nonexistent/libgpib-missing.so.0";
  bool opened = true;
  ASSERT_EQ(port->Open("GPIB0", &opened), Status::Ok);
  EXPECT_FALSE(opened);
  EXPECT_EQ(LastError(), 102);
  EXPECT_EQ(LastErrorString(), "Unable to open device ibsta = 0x8000");

  libraryPath = FAKE_GPIB_LIBRARY;
  ASSERT_EQ(port->Open("GPIB0", &opened), Status::Ok);
  EXPECT_TRUE(opened);
  EXPECT_EQ(LastError(), 0);
}

TEST(GpibLibraryNameTest, EnvironmentNamesTheLibraryElseLinuxGpib) {
  const char* saved = std::getenv(kLibraryVariable);
  const std::string savedValue = saved ? saved : "";
  ::unsetenv(kLibraryVariable);
  EXPECT_EQ(DefaultLibraryName(), "libgpib.so.0");
  ::setenv(kLibraryVariable, "", 1);
  EXPECT_EQ(DefaultLibraryName(), "libgpib.so.0");
  ::setenv(kLibraryVariable, "/opt/driver/libother.so", 1);
  EXPECT_EQ(DefaultLibraryName(), "/opt/driver/libother.so");
  if (saved) {
    ::setenv(kLibraryVariable, savedValue.c_str(), 1);
  } else {
    ::unsetenv(kLibraryVariable);
  }
}

}  // namespace
}  // namespace pelvane::ports::gpib::testing
