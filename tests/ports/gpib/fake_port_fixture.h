// A GPIB port over the scripted driver, loaded through its own binding.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "fake_driver.h"
#include "ports/gpib/gpib_binding.h"
#include "ports/gpib/gpib_constants.h"
#include "ports/gpib/gpib_port.h"
#include "ports/gpib/recording_listener.h"

namespace pelvane::ports::gpib::test {

class FakeDriverTest : public testing::Test {
 protected:
  void SetUp() override { fake_gpib_reset(); }

  std::string Calls() const { return fake_gpib_calls(); }

  void OpenPort() {
    bool opened = false;
    ASSERT_EQ(port->Open("GPIB0", &opened), core::Status::Ok);
    ASSERT_TRUE(opened);
    fake_gpib_reset();  // tests look at what happens after the open
  }

  std::int16_t LastError() {
    std::int16_t code = -1;
    EXPECT_EQ(port->GetLastError(&code), core::Status::Ok);
    return code;
  }

  std::string LastErrorString() {
    std::string text;
    EXPECT_EQ(port->GetLastErrorString(&text), core::Status::Ok);
    return text;
  }

  // What PELVANE_GPIB_LIBRARY names, or the platform's list of drivers.
  std::vector<std::string> libraries{FAKE_GPIB_LIBRARY};
  GpibBinding binding{[this] { return libraries; }};
  std::unique_ptr<IQX_Port> port = CreateGpibPort(binding);
};

}  // namespace pelvane::ports::gpib::test
