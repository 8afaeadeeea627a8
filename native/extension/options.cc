#include "extension/options.h"

#include <charconv>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/system.h"
#include "extension/pyref.h"

namespace corvex::py {

namespace {

// The value of a variable that must be a whole number of at least 1; absent or empty gives 0.
uint64_t positive_setting(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return uint64_t{0};
  const std::string_view text(value);
  uint64_t number = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (error != std::errc() || end != text.data() + text.size() || number == 0) {
    raise_error(PyExc_ValueError, std::string(name) +
                                      " must be a whole number of at least 1, got '" +
                                      std::string(text) + "'");
  }
  return number;
}

}  // namespace

ReadOptions read_options_from_environment() {
  const uint64_t threads = positive_setting("CORVEX_MAX_THREADS");
  const uint64_t budget = positive_setting("CORVEX_MAX_RESULT_BYTES");
  ReadOptions options;
  const unsigned cores = usable_cores();
  options.pass.threads =
      threads == 0 ? cores : static_cast<unsigned>(std::min<uint64_t>(threads, 1024));
  options.limit = system_memory_limit();
  options.limit.source += "; set CORVEX_MAX_RESULT_BYTES to lower it";
  if (budget != 0 && budget < options.limit.bytes) {
    options.limit = MemoryLimit{budget, "CORVEX_MAX_RESULT_BYTES"};
  }
  return options;
}

}  // namespace corvex::py
