// The GPIB port as the session finds it: by class id in the default registry.
#include <gtest/gtest.h>

#include "core/class_ids.h"
#include "ports/gpib/gpib_binding.h"
#include "ports/registry/port_registry.h"

namespace pelvane::ports::gpib {
namespace {

TEST(GpibRegistryTest, DefaultRegistryCreatesTheGpibPortWithoutLoadingTheDriver) {
  const PortBinding bound =
      BindPort("clsid:B35BC69F-C22C-11D4-A408-0050DAE004CA GPIB0", DefaultPortRegistry());
  ASSERT_NE(bound.port, nullptr);
  EXPECT_TRUE(bound.blockMode);
  std::int16_t code = -1;
  ASSERT_EQ(bound.port->GetLastError(&code), core::Status::Ok);
  EXPECT_EQ(code, 0);
  // Creating the port must work on a computer without the driver: no call
  // reached for it, which would have set the status word.
  EXPECT_EQ(GpibBinding::Process().ibsta(), 0);

  EXPECT_NE(DefaultPortRegistry().Create("b35bc69f-c22c-11d4-a408-0050dae004ca"), nullptr);
}

}  // namespace
}  // namespace pelvane::ports::gpib
