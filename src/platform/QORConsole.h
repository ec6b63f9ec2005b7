#pragma once

// The program's standard output and error as a person sees them: whether each is a terminal and
// how wide it is, for the live displays of the tools.
class QORConsole {
 public:
  enum class Stream { kOutput, kError };

  // Whether the stream is a terminal, not a file or a pipe.
  static bool IsTerminal(Stream stream);
  // The terminal's width in columns; fallback when the stream is no terminal.
  static int Columns(Stream stream, int fallback);
  // Lets the terminal act on colour and cursor escape sequences (a Windows console takes them
  // only once asked); false when the stream is no terminal.
  static bool EnableEscapes(Stream stream);
};
