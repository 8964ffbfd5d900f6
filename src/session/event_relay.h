// Carries the worker's results to the thread that created the session.
//
// Threading: the relay is created and destroyed on the owner's thread and
// remembers that thread's message loop. Post may be called from any thread; it
// never waits for the owner. Notices are delivered one at a time, in the order
// posted, when the owner processes its loop. A notice still queued when the
// relay is destroyed is dropped, so a session that is gone gets no events.
// The loop must outlive every notice posted to it (the owner keeps its loop
// running longer than its sessions).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "core/message_loop.h"

namespace pelvane::session {

class EventRelay {
 public:
  // The message numbers the notices had as window messages; kept so that logs
  // and tests speak of the same numbers.
  enum Notice : std::uint32_t {
    ReceiveNotice = 0x465,
    SendNotice = 0x466,
    ErrorNotice = 0x467,
  };
  using Deliver = std::function<void(Notice notice, std::int32_t parameter)>;

  // `deliver` runs on the owner's thread for each notice.
  explicit EventRelay(Deliver deliver);
  ~EventRelay();
  EventRelay(const EventRelay&) = delete;
  EventRelay& operator=(const EventRelay&) = delete;

  void Post(Notice notice, std::int32_t parameter);

 private:
  core::MessageLoop& loop_;
  // Queued notices hold this weakly: once the relay is gone they find it
  // expired and do nothing.
  std::shared_ptr<Deliver> target_;
};

}  // namespace pelvane::session
