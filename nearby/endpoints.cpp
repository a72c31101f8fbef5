// The endpoint id table (see endpoints.h): two maps, each change made to both.
#include "endpoints.h"

namespace nearby {

const std::string* Endpoints::keyOf(const std::string& id) const {
  auto it = keys_.find(id);
  return it == keys_.end() ? nullptr : &it->second;
}

const std::string* Endpoints::idOf(const std::string& key) const {
  auto it = ids_.find(key);
  return it == ids_.end() ? nullptr : &it->second;
}

void Endpoints::add(const std::string& key, std::string id) {
  keys_[id] = key;
  ids_[key] = std::move(id);
}

std::vector<std::string> Endpoints::keepOnly(const std::function<bool(const std::string& key)>& keep) {
  std::vector<std::string> removed;
  for (auto it = ids_.begin(); it != ids_.end();) {
    if (keep(it->first)) {
      ++it;
      continue;
    }
    keys_.erase(it->second);
    removed.push_back(std::move(it->second));
    it = ids_.erase(it);
  }
  return removed;
}

}  // namespace nearby
