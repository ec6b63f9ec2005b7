#include "settings/QORUTSNameList.h"

#include <algorithm>

bool QORUTSNameList::Contains(const std::string& name) const {
  return std::find(begin(), end(), name) != end();
}

void QORUTSNameList::Remove(const std::string& name) {
  const auto it = std::find(begin(), end(), name);
  if (it != end()) erase(it);
}
