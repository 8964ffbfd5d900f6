// Sets an environment variable for the life of the object (the driver library
// reads its settings from the environment at each call).
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

namespace pelvane::ports::gpib::test {

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) saved_ = old;
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (saved_) {
      ::setenv(name_, saved_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> saved_;
};

}  // namespace pelvane::ports::gpib::test
