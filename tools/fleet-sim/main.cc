// fleet-sim: a fleet of simulated hosts in one process, for `./run fleet`, its test and the
// fleet benchmark. Every host is a trace client of its own (its own name, so its own directory on
// the server) sending through the network sink to one of the given trace servers (host i to
// server i mod count), at a mix of levels like a quiet production fleet's: mostly debug and info,
// some trace, a few warnings, rare errors and criticals, with texts of a few kinds (requests,
// sensor readings, retries, disk usage, stalls).
//
// Usage: fleet-sim --servers ADDR:PORT[,ADDR:PORT...] [--hosts N] [--rate R] [--seconds S]
//                  [--prefix NAME]
//   --hosts N     simulated hosts (default 300)
//   --rate R      messages per second per host (default 20)
//   --seconds S   run time; 0: until SIGINT or SIGTERM (default 0)
//   --prefix NAME host names are NAME-0001 ... (default "gw")
// At the end it prints "accepted N" (calls the hosts' channels accepted) on standard output.
// Exit status 0; 2 for wrong usage or a host that could not be set up.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <mqtt-wrapper/TR.h>

namespace {

std::atomic<bool> g_Stop{false};

void On_Signal(int) { g_Stop = true; }

struct sHost {
  ITR_Client* client = nullptr;
  ITR_Trace* channel = nullptr;
  void* modules[3] = {};
};

// Levels by weight, per thousand: trace 80, debug 350, info 450, warning 90, error 25, critical 5.
eTRTrace_Level Pick_Level(uint32_t draw) {
  const uint32_t n = draw % 1000;
  if (n < 80) return TRL_TRACE;
  if (n < 430) return TRL_DEBUG;
  if (n < 880) return TRL_INFO;
  if (n < 970) return TRL_WARNING;
  if (n < 995) return TRL_ERROR;
  return TRL_CRITICAL;
}

bool Send_One(sHost& host, std::minstd_rand& random, uint32_t index) {
  auto draw = [&random](uint32_t below) { return static_cast<unsigned>(random() % below); };
  const eTRTrace_Level level = Pick_Level(static_cast<uint32_t>(random()));
  const uint32_t kind = draw(5);
  void* module = host.modules[kind % 3];
  switch (kind) {
    case 0:
      return host.channel->Trace(0, level, module, __LINE__, __FILE__, __func__,
                          "GET /api/v1/items/%u -> %u in %u ms", draw(10000),
                          level >= TRL_ERROR ? 500u : 200u, draw(400));
    case 1:
      return host.channel->Trace(0, level, module, __LINE__, __FILE__, __func__,
                          "sensor %u temperature %d.%u C", draw(8),
                          static_cast<int>(draw(90)) - 20, draw(10));
    case 2:
      return host.channel->Trace(0, level, module, __LINE__, __FILE__, __func__,
                          "connection to broker lost, retry %u of 5", draw(5) + 1);
    case 3:
      return host.channel->Trace(0, level, module, __LINE__, __FILE__, __func__, "disk usage %u%% on /data",
                          draw(100));
    default:
      return host.channel->Trace(0, level, module, __LINE__, __FILE__, __func__,
                          "watchdog: worker %u stalled for %u ms (message %u)", draw(16),
                          draw(5000), index);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> servers;
  uint32_t hosts = 300, rate = 20, seconds = 0;
  std::string prefix = "gw";
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (!value) {
      fprintf(stderr, "fleet-sim: %s needs a value\n", arg.c_str());
      return 2;
    }
    ++i;
    if (arg == "--servers") {
      std::string list = value;
      for (size_t start = 0; start <= list.size();) {
        size_t comma = list.find(',', start);
        if (comma == std::string::npos) comma = list.size();
        if (comma > start) servers.push_back(list.substr(start, comma - start));
        start = comma + 1;
      }
    } else if (arg == "--hosts") {
      hosts = static_cast<uint32_t>(strtoul(value, nullptr, 10));
    } else if (arg == "--rate") {
      rate = static_cast<uint32_t>(strtoul(value, nullptr, 10));
    } else if (arg == "--seconds") {
      seconds = static_cast<uint32_t>(strtoul(value, nullptr, 10));
    } else if (arg == "--prefix") {
      prefix = value;
    } else {
      fprintf(stderr, "fleet-sim: unknown option %s\n", arg.c_str());
      return 2;
    }
  }
  if (servers.empty() || hosts == 0 || rate == 0) {
    fprintf(stderr,
            "usage: fleet-sim --servers ADDR:PORT[,...] [--hosts N] [--rate R] [--seconds S] "
            "[--prefix NAME]\n");
    return 2;
  }
  signal(SIGINT, On_Signal);
  signal(SIGTERM, On_Signal);

  std::vector<sHost> fleet(hosts);
  for (uint32_t i = 0; i < hosts; ++i) {
    const std::string& server = servers[i % servers.size()];
    const size_t colon = server.rfind(':');
    char name[96];
    snprintf(name, sizeof(name), "%s-%04u", prefix.c_str(), i + 1);
    const std::string options = "/TR.Sink=Network /TR.Addr=" + server.substr(0, colon) +
                                " /TR.Port=" + server.substr(colon + 1) + " /TR.Name=" + name;
    fleet[i].client = TR_Create_Client(options.c_str());
    if (fleet[i].client) fleet[i].channel = TR_Create_Trace(fleet[i].client, "App", nullptr);
    if (!fleet[i].channel) {
      fprintf(stderr, "fleet-sim: host %s could not be set up (error %u)\n", name, TR_Last_Error());
      return 2;
    }
    const char* const kModules[] = {"http", "sensors", "storage"};
    for (int m = 0; m < 3; ++m)
      if (!fleet[i].channel->Register_Module(kModules[m], &fleet[i].modules[m]))
        fleet[i].modules[m] = nullptr;
  }
  fprintf(stderr, "fleet-sim: %u hosts, %u messages/s each, to %zu servers\n", hosts, rate,
          servers.size());

  // Calls are spread evenly: one round every 1/rate s, in which every host sends one message.
  std::minstd_rand random(12345);
  const auto start = std::chrono::steady_clock::now();
  const auto period = std::chrono::microseconds(1000000 / rate);
  uint64_t accepted = 0;
  for (uint32_t round = 0; !g_Stop; ++round) {
    if (seconds && std::chrono::steady_clock::now() - start >= std::chrono::seconds(seconds)) break;
    for (sHost& host : fleet) accepted += Send_One(host, random, round) ? 1 : 0;
    std::this_thread::sleep_until(start + period * (round + 1));
  }
  for (sHost& host : fleet) host.client->Flush();
  for (sHost& host : fleet) {
    host.channel->Release();
    host.client->Close();
    host.client->Release();
  }
  printf("accepted %llu\n", static_cast<unsigned long long>(accepted));
  return 0;
}
