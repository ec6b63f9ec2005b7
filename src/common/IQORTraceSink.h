#pragma once

#include <string_view>

// Destination of trace lines; called on the logger thread only.
class IQORTraceSink {
 public:
  virtual ~IQORTraceSink() = default;
  virtual void Write(std::string_view line) = 0;
};
