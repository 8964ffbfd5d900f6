#include "session/event_relay.h"

#include <utility>

namespace pelvane::session {

EventRelay::EventRelay(Deliver deliver)
    : loop_(core::CurrentMessageLoop()), target_(std::make_shared<Deliver>(std::move(deliver))) {}

EventRelay::~EventRelay() = default;

void EventRelay::Post(Notice notice, std::int32_t parameter) {
  std::weak_ptr<Deliver> target = target_;
  loop_.Post([target = std::move(target), notice, parameter] {
    if (const auto deliver = target.lock()) (*deliver)(notice, parameter);
  });
}

}  // namespace pelvane::session
