// Records the port events in the order they came.
#pragma once

#include <string>
#include <vector>

#include "ports/iqx_port.h"

namespace pelvane::ports::gpib::test {

class RecordingListener : public IQX_PortEvents {
 public:
  void OnReceive(IQX_Port* obj, std::int32_t lResult) override {
    events.push_back("receive(" + std::to_string(lResult) + ")");
    lastObj = obj;
  }
  void OnSend(IQX_Port* obj, std::int32_t lResult) override {
    events.push_back("send(" + std::to_string(lResult) + ")");
    lastObj = obj;
  }
  std::vector<std::string> events;
  IQX_Port* lastObj = nullptr;
};

}  // namespace pelvane::ports::gpib::test
