#include "logger/logger_config.h"

#include <atomic>

namespace TR::detail {
namespace {
std::atomic<const char*> g_Config_Path{nullptr};        // null: kConfig_Path
std::atomic<Client_Factory> g_Client_Factory{nullptr};  // null: TR_Create_Client
}  // namespace

const char* Config_Path() {
  const char* path = g_Config_Path.load();
  return path ? path : kConfig_Path;
}

void Set_Config_Path_For_Testing(const char* path) { g_Config_Path.store(path); }

Client_Factory Get_Client_Factory() {
  Client_Factory factory = g_Client_Factory.load();
  return factory ? factory : &TR_Create_Client;
}

void Set_Client_Factory_For_Testing(Client_Factory factory) { g_Client_Factory.store(factory); }

}  // namespace TR::detail
