#include <new>

#include "trace/core/sink_factories.h"
#include "trace/net/cl_network.h"

ITR_Client* New_Network_Sink(char** args, int count) {
  return new (std::nothrow) CClNetwork(args, count);
}

bool Network_Sink_Connection_Wait(ITR_Client* client, uint32_t ms) {
  auto* network = dynamic_cast<CClNetwork*>(client);
  return network != nullptr && network->Connection_Wait(ms);
}
