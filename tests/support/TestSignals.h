#pragma once
// The numbers of the signals the tests send, which Windows does not define. Windows sends no
// signals: the test helpers stand in for these (SIGSTOP and SIGCONT suspend and resume every
// thread of a child, SIGKILL ends it at once).
#include <csignal>

#ifdef _WIN32
#ifndef SIGHUP
#define SIGHUP 1
#endif
#ifndef SIGKILL
#define SIGKILL 9
#endif
#ifndef SIGCONT
#define SIGCONT 18
#endif
#ifndef SIGSTOP
#define SIGSTOP 19
#endif
#endif
