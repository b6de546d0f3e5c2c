#include "trace/text/text_sink_registry.h"

#include <map>
#include <mutex>
#include <new>

namespace {

struct sRegistry {
  std::mutex lock;
  std::map<uint64_t, CClTextSink*> sinks;  // guarded by lock
  uint64_t next = 1;                       // guarded by lock; never reused
};

// Built on first use and never destroyed, so that clients closed by static destructors or a
// crash flush can still look up their output.
sRegistry& Registry() {
  static sRegistry* registry = new sRegistry();
  return *registry;
}

}  // namespace

uint64_t CTextSinkRegistry::Register(CClTextSink* sink) {
  if (!sink) return 0;
  sRegistry& registry = Registry();
  std::lock_guard<std::mutex> guard(registry.lock);
  for (const auto& entry : registry.sinks) {
    if (entry.second == sink) return entry.first;
  }
  try {
    uint64_t handle = registry.next++;
    registry.sinks.emplace(handle, sink);
    return handle;
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

bool CTextSinkRegistry::Unregister(uint64_t handle) {
  sRegistry& registry = Registry();
  std::lock_guard<std::mutex> guard(registry.lock);
  return registry.sinks.erase(handle) != 0;
}

CClTextSink* CTextSinkRegistry::Find(uint64_t handle) {
  sRegistry& registry = Registry();
  std::lock_guard<std::mutex> guard(registry.lock);
  auto found = registry.sinks.find(handle);
  return found == registry.sinks.end() ? nullptr : found->second;
}

bool CTextSinkRegistry::Parse_Handle(const char* text, uint64_t* handle) {
  if (!text || !handle) return false;
  if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text += 2;
  if (!*text) return false;
  uint64_t value = 0;
  int digits = 0;
  for (; *text; ++text) {
    char c = *text;
    uint32_t digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<uint32_t>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<uint32_t>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<uint32_t>(c - 'A' + 10);
    } else {
      return false;
    }
    if (++digits > 16) return false;
    value = (value << 4) | digit;
  }
  *handle = value;
  return true;
}

extern "C" MQW_EXPORT uint64_t TR_Register_Text_Sink(CClTextSink* sink) {
  return CTextSinkRegistry::Register(sink);
}

extern "C" MQW_EXPORT bool TR_Unregister_Text_Sink(uint64_t handle) {
  return CTextSinkRegistry::Unregister(handle);
}
