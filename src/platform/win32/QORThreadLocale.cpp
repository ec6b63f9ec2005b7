#include "platform/QORThreadLocale.h"

#include <locale.h>
#include <clocale>
#include <cstdlib>
#include <cstring>

QORThreadLocale::QORThreadLocale() {
  // This thread's locale becomes its own, then "C", what every process starts with.
  const int previous = ::_configthreadlocale(_ENABLE_PER_THREAD_LOCALE);
  if (previous == -1) return;
  const char* current = std::setlocale(LC_ALL, nullptr);
  char* saved = current != nullptr ? ::_strdup(current) : nullptr;
  if (saved == nullptr || std::setlocale(LC_ALL, "C") == nullptr) {
    std::free(saved);
    ::_configthreadlocale(previous);
    return;
  }
  saved_ = saved;
  system_ = reinterpret_cast<void*>(static_cast<intptr_t>(previous));
  set_ = true;
}

QORThreadLocale::~QORThreadLocale() {
  if (!set_) return;
  std::setlocale(LC_ALL, static_cast<const char*>(saved_));
  std::free(saved_);
  ::_configthreadlocale(static_cast<int>(reinterpret_cast<intptr_t>(system_)));
}
