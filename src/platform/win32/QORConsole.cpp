#include "platform/QORConsole.h"

#include "platform/win32/QORWin32.h"

namespace {

HANDLE Handle(QORConsole::Stream stream) {
  return ::GetStdHandle(stream == QORConsole::Stream::kOutput ? STD_OUTPUT_HANDLE
                                                              : STD_ERROR_HANDLE);
}

}  // namespace

bool QORConsole::IsTerminal(Stream stream) {
  DWORD mode = 0;
  return ::GetConsoleMode(Handle(stream), &mode) != 0;
}

int QORConsole::Columns(Stream stream, int fallback) {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!::GetConsoleScreenBufferInfo(Handle(stream), &info)) return fallback;
  const int columns = info.srWindow.Right - info.srWindow.Left + 1;
  return columns > 0 ? columns : fallback;
}

bool QORConsole::EnableEscapes(Stream stream) {
  const HANDLE handle = Handle(stream);
  DWORD mode = 0;
  if (!::GetConsoleMode(handle, &mode)) return false;
  // An older console without the mode still shows the text, with the sequences in it.
  ::SetConsoleMode(handle, mode | ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
  return true;
}
