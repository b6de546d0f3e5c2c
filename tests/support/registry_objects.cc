#include "support/registry_objects.h"

#include <dirent.h>

namespace mqw_test {

std::set<std::string> Registry_Objects(pid_t pid) {
  std::set<std::string> names;
  const std::string pid_tag = "_PID" + std::to_string(pid) + "_";
  if (DIR* dir = opendir("/dev/shm")) {
    while (dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name.find("TR_Type") == std::string::npos) continue;
      if (pid != 0 && name.find(pid_tag) == std::string::npos) continue;
      names.insert(name);
    }
    closedir(dir);
  }
  return names;
}

std::vector<std::string> Added_Objects(const std::set<std::string>& before,
                                       const std::set<std::string>& after) {
  std::vector<std::string> added;
  for (const std::string& name : after) {
    if (before.count(name) == 0) added.push_back(name);
  }
  return added;
}

}  // namespace mqw_test
