// Sets or removes an environment variable for the life of the object, for tests.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

namespace orvelle::test {

class ScopedEnv {
 public:
  // std::nullopt removes the variable.
  ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    Put(value);
  }
  ~ScopedEnv() { Put(old_); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  void Put(const std::optional<std::string>& value) {
#ifdef _WIN32
    // An empty value removes the variable on Windows; an empty text cannot be set there.
    _putenv_s(name_.c_str(), value ? value->c_str() : "");
#else
    if (value) {
      setenv(name_.c_str(), value->c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
#endif
  }

  std::string name_;
  std::optional<std::string> old_;
};

}  // namespace orvelle::test
