// The one error type of the publisher: its text is shown to the user as is.
#pragma once

#include <stdexcept>
#include <string>

namespace publisher {

class PublishError : public std::runtime_error {
 public:
  explicit PublishError(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace publisher
