// The run-time binding: loading, the status words after every call, and the
// rules for a missing library, status variable or function.
#include "fake_port_fixture.h"
#include "ports/port_diagnostics.h"

namespace pelvane::ports::gpib::test {
namespace {

using core::Status;
using testing::AllOf;
using testing::HasSubstr;

constexpr const char* kMissing = "/nonexistent/libgpib-missing.so.0";

class GpibBindingTest : public FakeDriverTest {
 protected:
  void ExpectFailureWords() {
    EXPECT_EQ(binding.ibsta(), kErr);
    EXPECT_EQ(binding.iberr(), kEdvr);
    EXPECT_NE(binding.ibcntl(), 0);
    EXPECT_EQ(binding.ibcnt(), binding.ibcntl());
  }

  IQX_PortDiagnostics& Diagnostics() { return dynamic_cast<IQX_PortDiagnostics&>(*port); }
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
  EXPECT_EQ(binding.loadError(), "");
}

TEST_F(GpibBindingTest, DriverWithStatusFunctionsOnlyIsReadThroughThem) {
  // That variant keeps its own script, so its calls run unscripted: a write
  // sends everything and completes.
  libraries = {FAKE_GPIB_LIBRARY_STATUS_FUNCTIONS};
  const std::uint8_t bytes[] = {1, 2, 3};
  EXPECT_EQ(binding.ibwrt(5, bytes, 3), kCmpl);
  EXPECT_EQ(binding.ibsta(), kCmpl);
  EXPECT_EQ(binding.iberr(), 0);
  EXPECT_EQ(binding.ibcntl(), 3);
  EXPECT_EQ(binding.ibcnt(), 3);
  EXPECT_EQ(binding.loadError(), "");
  EXPECT_EQ(binding.ibwrt(5, bytes, 2), kCmpl);
  EXPECT_EQ(binding.ibcntl(), 2);
}

TEST_F(GpibBindingTest, MissingLibraryFailsEveryCallAndIsTriedAgainLater) {
  libraries = {kMissing};
  EXPECT_EQ(binding.ibdev(0, 28, 0, kT10s, 1, 0), -1);
  ExpectFailureWords();
  EXPECT_THAT(binding.loadError(), HasSubstr("libgpib-missing.so.0"));
  EXPECT_EQ(binding.ibtmo(5, kT3s), kErr);
  EXPECT_THAT(binding.loadError(), HasSubstr("libgpib-missing.so.0"));
  EXPECT_EQ(Calls(), "");

  libraries = {FAKE_GPIB_LIBRARY};
  EXPECT_EQ(binding.ibdev(0, 28, 0, kT10s, 1, 0), 5);
  EXPECT_EQ(binding.ibsta(), kCmpl);
  EXPECT_EQ(binding.loadError(), "");
}

TEST_F(GpibBindingTest, CandidatesAreTriedInOrderAndEveryFailureIsReported) {
  libraries = {kMissing, FAKE_GPIB_LIBRARY_WITHOUT_STATUS};
  EXPECT_EQ(binding.ibsic(5), kErr);
  ExpectFailureWords();
  EXPECT_THAT(binding.loadError(),
              AllOf(HasSubstr("libgpib-missing.so.0"), HasSubstr("gpib_fake_without_status")));

  // A library that loads but cannot report does not stop the search.
  libraries = {FAKE_GPIB_LIBRARY_WITHOUT_STATUS, FAKE_GPIB_LIBRARY};
  EXPECT_EQ(binding.ibsic(5), kCmpl);
  EXPECT_EQ(Calls(), "ibsic(5);");
}

TEST_F(GpibBindingTest, LibraryWithoutItsStatusVariablesCountsAsMissing) {
  libraries = {FAKE_GPIB_LIBRARY_WITHOUT_STATUS};
  EXPECT_EQ(binding.ibsic(5), kErr);
  ExpectFailureWords();
  EXPECT_THAT(binding.loadError(),
              AllOf(HasSubstr(PlatformDriverNames().iberr), HasSubstr("ThreadIberr")));
}

TEST_F(GpibBindingTest, MissingFunctionFailsAloneAndIsLookedUpAgain) {
  libraries = {FAKE_GPIB_LIBRARY_WITHOUT_IBDEV};
  EXPECT_EQ(binding.ibdev(0, 28, 0, kT10s, 1, 0), -1);
  ExpectFailureWords();
  EXPECT_THAT(binding.loadError(), HasSubstr("ibdev"));
  // A function the library has is found; the library stays loaded, and the
  // reason of the earlier failure is not taken for this call's.
  EXPECT_EQ(binding.ibsic(5), kCmpl);
  EXPECT_EQ(binding.ibsta(), kCmpl);
  EXPECT_EQ(binding.loadError(), "");
  // A missing function returns the failure status word, not a stale one.
  EXPECT_EQ(binding.ibloc(5), kErr);
  ExpectFailureWords();
}

TEST_F(GpibBindingTest, PortOnMissingLibraryFailsWith102SaysWhyAndLoadsOnALaterOpen) {
  libraries = {kMissing};
  bool opened = true;
  ASSERT_EQ(port->Open("GPIB0", &opened), Status::Ok);
  EXPECT_FALSE(opened);
  EXPECT_EQ(LastError(), 102);
  EXPECT_EQ(LastErrorString(), "Unable to open device ibsta = 0x8000");
  // The loader's own text reaches the user, with what to do about it.
  EXPECT_THAT(Diagnostics().GetSystemReason(), HasSubstr("libgpib-missing.so.0"));
  EXPECT_THAT(Diagnostics().GetHint(), AllOf(HasSubstr(PlatformDriverNames().libraries[0]),
                                             HasSubstr("PELVANE_GPIB_LIBRARY")));
  EXPECT_FALSE(Diagnostics().IsDeviceLost());

  libraries = {FAKE_GPIB_LIBRARY};
  ASSERT_EQ(port->Open("GPIB0", &opened), Status::Ok);
  EXPECT_TRUE(opened);
  EXPECT_EQ(LastError(), 0);
  EXPECT_EQ(Diagnostics().GetSystemReason(), "");
  EXPECT_EQ(Diagnostics().GetHint(), "");
}

TEST_F(GpibBindingTest, PortRefusedByTheDriverNamesTheDriversReason) {
  const struct {
    int iberr;
    long ibcntl;
    const char* reason;
  } rows[] = {
      {kEneb, 0, "GPIB board 0, address 28: no GPIB board 0"},
      {kEdvr, 111, "GPIB board 0, address 28: system error 111"},
      {kEarg, 0, "GPIB board 0, address 28: invalid device settings"},
      {kEnol, 0, "GPIB board 0, address 28: driver error 2"},
  };
  for (const auto& row : rows) {
    fake_gpib_set_ibdev(-1, kErr, row.iberr, row.ibcntl);
    bool opened = true;
    ASSERT_EQ(port->Open("GPIB0", &opened), Status::Ok);
    EXPECT_FALSE(opened);
    EXPECT_EQ(Diagnostics().GetSystemReason(), row.reason);
    EXPECT_THAT(Diagnostics().GetHint(), HasSubstr("board 0"));
  }
}

TEST(GpibLibraryNameTest, NamedLibraryAloneElseThePlatformsDrivers) {
  EXPECT_EQ(LibraryCandidates("/opt/driver/libother.so"),
            std::vector<std::string>{"/opt/driver/libother.so"});
  const auto& platform = PlatformDriverNames().libraries;
  const std::vector<std::string> drivers(platform.begin(), platform.end());
  ASSERT_FALSE(drivers.empty());
  EXPECT_EQ(LibraryCandidates(nullptr), drivers);
  EXPECT_EQ(LibraryCandidates(""), drivers);
}

}  // namespace
}  // namespace pelvane::ports::gpib::test
