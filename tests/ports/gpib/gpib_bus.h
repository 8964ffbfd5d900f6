// The two sockets the project's GPIB driver reaches the simulator over; tests
// that hold for both run once per bus.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace pelvane::ports::gpib::test {

enum class Bus { Unix, Tcp };

inline std::string BusName(const testing::TestParamInfo<Bus>& param) {
  return param.param == Bus::Unix ? "Unix" : "Tcp";
}

}  // namespace pelvane::ports::gpib::test
