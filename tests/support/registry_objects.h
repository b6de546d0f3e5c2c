// The registry's named objects in /dev/shm, for tests that check a process leaves none behind.
// An object can also be a stale one: an earlier process with the same ID that was killed before
// it could clean up leaves its objects until a later process uses the same name. Tests therefore
// compare what is there after with what was there before, never with nothing.
#ifndef TESTS_SUPPORT_REGISTRY_OBJECTS_H_
#define TESTS_SUPPORT_REGISTRY_OBJECTS_H_

#include <sys/types.h>

#include <set>
#include <string>
#include <vector>

namespace mqw_test {

// Names of the registry objects in /dev/shm (shared memory objects and semaphores), only those
// of process `pid` when it is not 0.
std::set<std::string> Registry_Objects(pid_t pid = 0);

// The names in `after` that are not in `before`, sorted.
std::vector<std::string> Added_Objects(const std::set<std::string>& before,
                                       const std::set<std::string>& after);

}  // namespace mqw_test

#endif  // TESTS_SUPPORT_REGISTRY_OBJECTS_H_
