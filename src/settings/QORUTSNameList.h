#pragma once

#include <string>
#include <vector>

// Control names in insertion order.
class QORUTSNameList : public std::vector<std::string> {
 public:
  using std::vector<std::string>::vector;
  virtual ~QORUTSNameList() = default;

  virtual bool Contains(const std::string& name) const;
  // Erases the first equal name; the rest keep their order.
  virtual void Remove(const std::string& name);
};
