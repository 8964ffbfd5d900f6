// Listener lists of component events.
//
// Threading: an event source belongs to its owner's thread. Advise, Unadvise
// and Raise are called on that thread only; a listener may advise or unadvise
// (itself or others) from inside its handler. A listener advised there hears
// from the next event on; one unadvised there is not called again, not even
// for the event being raised.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "core/status.h"

namespace pelvane::core {

using Cookie = std::uint32_t;

template <class Listener>
class EventSource {
 public:
  // Pointer status for a missing listener or cookie location. The listener is
  // not owned: it must unadvise before it goes away.
  Status Advise(Listener* listener, Cookie* cookie) {
    if (listener == nullptr || cookie == nullptr) return Status::Pointer;
    *cookie = ++lastCookie_;
    listeners_.push_back({*cookie, listener});
    return Status::Ok;
  }

  // Fail for a cookie that names no registration (never given, or already removed).
  Status Unadvise(Cookie cookie) {
    for (auto it = listeners_.begin(); it != listeners_.end(); ++it) {
      if (it->first == cookie) {
        listeners_.erase(it);
        return Status::Ok;
      }
    }
    return Status::Fail;
  }

  // Calls `deliver(listener)` for every listener in registration order.
  template <class Deliver>
  void Raise(Deliver&& deliver) {
    const auto snapshot = listeners_;
    for (const auto& [cookie, listener] : snapshot)
      if (IsAdvised(cookie)) deliver(*listener);
  }

  std::size_t size() const { return listeners_.size(); }

 private:
  bool IsAdvised(Cookie cookie) const {
    for (const auto& entry : listeners_)
      if (entry.first == cookie) return true;
    return false;
  }

  std::vector<std::pair<Cookie, Listener*>> listeners_;
  Cookie lastCookie_ = 0;
};

}  // namespace pelvane::core
