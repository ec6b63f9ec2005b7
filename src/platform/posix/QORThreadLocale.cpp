#include "platform/QORThreadLocale.h"

#include <locale.h>

QORThreadLocale::QORThreadLocale() {
  // The "C" locale is what every process starts with: the system default here.
  locale_t system = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  if (system == static_cast<locale_t>(0)) return;
  locale_t saved = uselocale(system);
  if (saved == static_cast<locale_t>(0)) {
    freelocale(system);
    return;
  }
  saved_ = saved;
  system_ = system;
  set_ = true;
}

QORThreadLocale::~QORThreadLocale() {
  if (!set_) return;
  uselocale(static_cast<locale_t>(saved_));
  freelocale(static_cast<locale_t>(system_));
}
