#pragma once

// Test support: an environment variable set for one scope and restored on every exit path,
// a failed assertion's early return included.

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

namespace TestSupport {

class ScopedEnv {
 public:
  // A null value unsets the variable for the scope.
  ScopedEnv(std::string name, const char* value) : m_name(std::move(name)) {
    if (const char* old = std::getenv(m_name.c_str())) m_old = old;
    apply(value);
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
  ~ScopedEnv() { apply(m_old ? m_old->c_str() : nullptr); }

 private:
  void apply(const char* value) {
    if (value != nullptr)
      setenv(m_name.c_str(), value, 1);
    else
      unsetenv(m_name.c_str());
    if (m_name == "TZ") tzset();  // the C library reads TZ only here
  }

  std::string m_name;
  std::optional<std::string> m_old;
};

}  // namespace TestSupport
