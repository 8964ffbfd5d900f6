// Each failure cause's name and hint.
#include "upload/failure_cause.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>
#include <string>

namespace pelvane::upload {
namespace {

using testing::HasSubstr;

// Every cause has a distinct stable name and, but for None, a hint; adding a
// cause without its row fails here.
TEST(FailureCauses, EveryCauseHasANameAndAHint) {
  std::set<std::string> names;
  for (std::size_t i = 0; i < kFailureCauseCount; ++i) {
    const auto cause = static_cast<FailureCause>(i);
    const std::string name(CauseName(cause));
    // Lower-case words joined by "_" (written out: gtest's regular
    // expressions on Windows know no classes or groups).
    EXPECT_TRUE(!name.empty() && name.front() != '_' && name.back() != '_' &&
                name.find("__") == std::string::npos &&
                name.find_first_not_of("abcdefghijklmnopqrstuvwxyz_") == std::string::npos)
        << name;
    EXPECT_TRUE(names.insert(name).second) << name;
    for (const ports::PortKind port : {ports::PortKind::SerialName, ports::PortKind::Gpib}) {
      const std::string hint = CauseHint(cause, {port, "", ""});
      EXPECT_EQ(hint.empty(), cause == FailureCause::None) << name;
      EXPECT_EQ(hint.find('{'), std::string::npos) << name;
    }
  }
  EXPECT_EQ(CauseName(FailureCause::PortUnavailable), "port_unavailable");
  // The port's own diagnosis outranks the general advice on a port; the boot
  // key of the package fills in the boot monitor's hint.
  using ports::PortKind;
  EXPECT_EQ(CauseHint(FailureCause::DeviceLost, {PortKind::SerialName, "", "plug it in"}),
            "plug it in");
  EXPECT_THAT(
      CauseHint(FailureCause::BootMonitorSilent, {PortKind::DevicePath, "F1 key", "plug it in"}),
      testing::EndsWith("pressing the F1 key"));
  // The bench follows the port's kind: the GPIB advice and key for the bus.
  EXPECT_THAT(CauseHint(FailureCause::BootMonitorSilent, {PortKind::Gpib, "", ""}),
              testing::AllOf(HasSubstr("GPIB cable"), testing::EndsWith("the number 6")));
  EXPECT_THAT(CauseHint(FailureCause::BootMonitorSilent, {PortKind::Default, "", ""}),
              testing::AllOf(testing::Not(HasSubstr("GPIB")), testing::EndsWith("the number 5")));
}

}  // namespace
}  // namespace pelvane::upload
