#pragma once

// The one diagnostic call of the host. The caller formats "file(line) | function | message" into a
// line of at most kQORTraceLineChars - 1 characters (longer text is cut) and hands it to the trace
// log, which never blocks the caller.

constexpr int kQORTraceLineChars = 16384;

struct QORTracePoint {
  const char* file;  // class file name, e.g. "QORAPOProcessChain"
  int line;
  const char* function;  // qualified name, e.g. "QORAPOProcessChain::ConstructChain"
};

void QORTrace(const QORTracePoint& point, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// Wide twin: wide format and arguments, same prefix and cut; delivered as UTF-8.
void QORTraceW(const QORTracePoint& point, const wchar_t* format, ...);
