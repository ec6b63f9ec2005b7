#include "common/QORTrace.h"

#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <string>

#include "common/QORTextConvert.h"
#include "common/QORTraceLog.h"

namespace {

// Writes "file(line) | function | " and returns its length (bounded by the buffer).
int FormatPrefix(const QORTracePoint& point, char* buffer, size_t size) {
  const int length = std::snprintf(buffer, size, "%s(%d) | %s | ", point.file ? point.file : "",
                                   point.line, point.function ? point.function : "");
  if (length < 0) return 0;
  return std::min(length, static_cast<int>(size) - 1);
}

}  // namespace

void QORTrace(const QORTracePoint& point, const char* format, ...) {
  QORTraceLog& log = QORTraceLog::Instance();
  if (!log.IsEnabled()) return;
  char line[kQORTraceLineChars];
  const int prefix = FormatPrefix(point, line, sizeof(line));
  va_list args;
  va_start(args, format);
  const int message = std::vsnprintf(line + prefix, sizeof(line) - prefix, format, args);
  va_end(args);
  size_t length = static_cast<size_t>(prefix);
  if (message > 0) length = std::min(sizeof(line) - 1, length + static_cast<size_t>(message));
  log.Post(std::string_view(line, length));
}

void QORTraceW(const QORTracePoint& point, const wchar_t* format, ...) {
  QORTraceLog& log = QORTraceLog::Instance();
  if (!log.IsEnabled()) return;
  char prefix[kQORTraceLineChars];
  const int prefixLength = FormatPrefix(point, prefix, sizeof(prefix));
  wchar_t message[kQORTraceLineChars];
  const size_t room = kQORTraceLineChars - static_cast<size_t>(prefixLength);
  message[0] = L'\0';
  message[room - 1] = L'\0';
  va_list args;
  va_start(args, format);
  // On truncation vswprintf reports failure but leaves the cut, terminated text in the buffer.
  std::vswprintf(message, room, format, args);
  va_end(args);
  std::string line(prefix, static_cast<size_t>(prefixLength));
  line += QORWideToUtf8(std::wstring_view(message, std::wcslen(message)));
  log.Post(line);
}
