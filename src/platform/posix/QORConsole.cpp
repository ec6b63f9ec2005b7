#include "platform/QORConsole.h"

#include <sys/ioctl.h>
#include <unistd.h>

namespace {

int Descriptor(QORConsole::Stream stream) {
  return stream == QORConsole::Stream::kOutput ? STDOUT_FILENO : STDERR_FILENO;
}

}  // namespace

bool QORConsole::IsTerminal(Stream stream) {
  return ::isatty(Descriptor(stream)) == 1;
}

int QORConsole::Columns(Stream stream, int fallback) {
  winsize size{};
  if (::ioctl(Descriptor(stream), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return fallback;
}

bool QORConsole::EnableEscapes(Stream stream) {
  return IsTerminal(stream);
}
