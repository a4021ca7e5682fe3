#include "src/core/io_error.hpp"

#include <string.h>

#include <array>

namespace quillo {

std::string IoError::to_string() const {
  if (code == 0) return text != nullptr ? text : "";
  std::array<char, 256> buffer{};
  // GNU strerror_r may return a static string instead of filling the buffer.
  const char* description = ::strerror_r(code, buffer.data(), buffer.size());
  std::string result = description;
  result += " (os error ";
  result += std::to_string(code);
  result += ')';
  return result;
}

}  // namespace quillo
