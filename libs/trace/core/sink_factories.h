// Constructors of the sinks that live in their own subsystems, called by TR_Create_Client.
// Each returns a new client with one reference (whose Get_Status() may be nonzero when its
// initialisation failed), or null when it could not be allocated.
//
// Thread-safety: that of TR_Create_Client, their only caller; each call builds an independent
// client whose returned reference the caller owns.
#ifndef TRACE_CORE_SINK_FACTORIES_H_
#define TRACE_CORE_SINK_FACTORIES_H_

#include <mqtt-wrapper/TR.h>

ITR_Client* New_File_Sink(char** args, int count);     // binary file sink, libs/trace/file
ITR_Client* New_Text_Sink(char** args, int count);     // text sinks, libs/trace/text
ITR_Client* New_Network_Sink(char** args, int count);  // network sink, libs/trace/net
// Waits up to `ms` milliseconds for a client made by New_Network_Sink to be accepted by its
// server; false on time-out or for any other client.
bool Network_Sink_Connection_Wait(ITR_Client* client, uint32_t ms);

#endif  // TRACE_CORE_SINK_FACTORIES_H_
