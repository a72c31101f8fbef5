#pragma once

// The endpoint ids the host was given, both ways: id -> instance key, instance key -> id. At most
// maxEndpoints of them (the caller asks `full` before it adds). A pure table, owned by the
// browser: it goes when the discovery window closes.

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "bounds.h"

namespace nearby {

class Endpoints {
 public:
  const std::string* keyOf(const std::string& id) const;
  const std::string* idOf(const std::string& key) const;
  bool has(const std::string& key) const { return ids_.count(key) > 0; }
  size_t size() const { return keys_.size(); }
  bool full() const { return keys_.size() >= maxEndpoints; }

  // Gives the key (which has none) the id (which is unused).
  void add(const std::string& key, std::string id);
  // Removes every id whose key `keep` refuses; returns those ids, in the order of their keys.
  std::vector<std::string> keepOnly(const std::function<bool(const std::string& key)>& keep);

 private:
  std::map<std::string, std::string> keys_;  // id -> instance key
  std::map<std::string, std::string> ids_;  // instance key -> id
};

}  // namespace nearby
