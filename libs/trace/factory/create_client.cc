// TR_Create_Client: gathers the "/TR." options and creates the chosen sink.
//
// Options come from the process command line first and the caller's string second; every lookup
// takes the first match, so an option on the command line overrides the same option in the
// string. The sinks copy the merged list; the temporary lists die with this call.
#include <strings.h>

#include <new>

#include <mqtt-wrapper/TR.h>

#include "trace/core/last_error.h"
#include "trace/core/null_sink.h"
#include "trace/core/options.h"
#include "trace/core/sink_factories.h"
#include "trace/factory/help_text.h"

namespace {

constexpr char kOnKey[] = "/TR.On=";
constexpr char kSinkKey[] = "/TR.Sink=";
constexpr char kHelpKey[] = "/TR.Help";
constexpr uint32_t kAuto_Wait_ms = 250;

// The sink named by "/TR.Sink=" (compared case-insensitively, whole value), or null when none
// can be made. Every sink returned has one reference; its status may still be nonzero.
ITR_Client* New_Sink(char** args, int count) {
  const char* sink = Get_Argument_Text_Value(args, count, kSinkKey);

  if (sink == nullptr || strcasecmp(sink, "Network") == 0) return New_Network_Sink(args, count);

  if (strcasecmp(sink, "FileBin") == 0 || strcasecmp(sink, "File") == 0)
    return New_File_Sink(args, count);

  // "Auto" keeps the network sink only when its server accepts it within kAuto_Wait_ms;
  // otherwise the binary file sink takes its place.
  if (strcasecmp(sink, "Auto") == 0) {
    ITR_Client* network = New_Network_Sink(args, count);
    if (network != nullptr && network->Get_Status() == eCode_Ok &&
        Network_Sink_Connection_Wait(network, kAuto_Wait_ms))
      return network;
    if (network != nullptr) network->Release();
    return New_File_Sink(args, count);
  }

  if (strcasecmp(sink, "Null") == 0) {
    ITR_Client* client = new (std::nothrow) CClNull(args, count);
    if (client == nullptr) TR_Set_Last_Error(eLastError_No_Memory);
    return client;
  }

  // Every other value is a text output; the text sink reads "/TR.Sink=" again to pick it.
  return New_Text_Sink(args, count);
}

}  // namespace

extern "C" MQW_EXPORT ITR_Client* TR_Create_Client(const char* args) {
  CArguments from_string;
  CArguments command_line;
  CArguments merged;

  bool complete = CArguments::Split(args, &from_string);
  complete = CArguments::From_Command_Line(&command_line) && complete;
  complete = complete && merged.Append(command_line) && merged.Append(from_string);
  if (!complete) {
    // Out of memory: run with every default rather than with an arbitrary part of the options.
    TR_Set_Last_Error(eLastError_No_Memory);
    merged.Clear();
  }

  ITR_Client* client = nullptr;
  const char* on = merged.Get(kOnKey);
  if (on == nullptr || on[0] != '0') {
    client = New_Sink(merged.Args(), merged.Count());
    if (client != nullptr && client->Get_Status() != eCode_Ok) {
      client->Release();
      client = nullptr;
    }
  }

  // Help is printed whether or not a client was made, and also when the merge ran out of memory.
  if (command_line.Get(kHelpKey) != nullptr || from_string.Get(kHelpKey) != nullptr)
    Print_Help_Text();

  return client;
}
