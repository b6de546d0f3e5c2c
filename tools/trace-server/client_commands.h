// CClient_Commands: the verbosity rules that apply to one client, and the names of its channels
// and modules that they match.
//
// When a channel or module that a rule names describes itself (the stream context's observer),
// the command is handed to `queue` (the server sends it in the client's next acknowledgement).
// Rules added later (Add_Rule, the viewer's requests) are sent at once to the channels and
// modules already described, and kept like the command line's for those that describe themselves
// later.
//
// Memory: every kept name is charged to the client's account first, twice when the viewer keeps
// a copy in its host table; a name the account refuses is not kept (the rules of the moment
// still apply to it) and the account says so.
//
// The levels shown in the viewer are what the channel reported (module records, its own verbosity
// records) or what was commanded since: a command is taken as applied when it is queued.
//
// Ownership: owns the names and added rules. Thread-safety: none; the receiving thread.
#ifndef TOOLS_TRACE_SERVER_CLIENT_COMMANDS_H_
#define TOOLS_TRACE_SERVER_CLIENT_COMMANDS_H_

#include <stdint.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "server_options.h"
#include "trace/base/memory_budget.h"
#include "trace/server/stream_context.h"
#include "trace/server/verbosity_rule.h"
#include "trace/viewer/viewer_hub.h"

class CClient_Commands final : public CTRS_Stream_Context::IObserver {
 public:
  // Rules added by Add_Rule that are kept, the oldest forgotten first.
  static constexpr size_t kMax_Added_Rules = 256;

  // Queues user-data chunks for the client (CTRS_Server::Queue_User_Data).
  using tQueue = std::function<bool(const std::vector<uint8_t>& chunks)>;

  // `options` and `budget` must outlive the commands. `shown`: the viewer keeps a copy of the
  // names (Channels) in its host table.
  CClient_Commands(const sServer_Options& options, CMemory_Budget* budget, bool shown,
                   tQueue queue);
  ~CClient_Commands();

  CClient_Commands(const CClient_Commands&) = delete;
  CClient_Commands& operator=(const CClient_Commands&) = delete;

  // The client started over under `client_name`: every name is forgotten.
  void Restart(const std::string& client_name);
  // Applies `rule` (its client part is ignored) to the channels and modules of `context` known
  // now, and to those that describe themselves later. Returns the commands queued.
  uint32_t Add_Rule(const sTRS_Verbosity_Rule& rule, const CTRS_Stream_Context& context);
  // The channels (live in `context`) and their modules described so far.
  std::vector<sViewer_Channel> Channels(const CTRS_Stream_Context& context) const;
  uint64_t Queued() const { return m_Queued; }

  // CTRS_Stream_Context::IObserver
  void On_Channel(uint32_t channel, const std::string& name) override;
  void On_Module(uint32_t channel, uint16_t module_id, const std::string& name,
                 uint32_t level) override;
  void On_Verbosity(uint32_t channel, uint16_t module_id, uint32_t level) override;

 private:
  void Queue_Command(uint32_t channel, uint32_t level, uint16_t module_id);
  uint32_t Apply_Channel_Rule(const sTRS_Verbosity_Rule& rule, uint32_t channel);
  uint32_t Apply_Module_Rule(const sTRS_Verbosity_Rule& rule, uint32_t channel, uint16_t module_id,
                             const std::string& name);
  void Forget_Modules(uint32_t channel);
  // A named module's level entry, charged and released with its name.
  static constexpr uint64_t kLevel_Entry = CMemory_Budget::kNode_Overhead + sizeof(uint32_t);
  uint64_t Cost(const std::string& name) const {
    return (name.size() + CMemory_Budget::kNode_Overhead) * m_Copies;
  }

  const sServer_Options& m_Options;
  CMemory_Budget* const m_Budget;
  const uint64_t m_Copies;  // of every name: ours, and the viewer's
  tQueue m_Queue;
  std::string m_Client_Name;
  std::string m_ChannelNames[CTRS_Stream_Context::kChannels];
  std::map<uint16_t, std::string> m_ModuleNames[CTRS_Stream_Context::kChannels];
  // Levels for the viewer: the channel's reports and the commands sent since (kUnknown_Level:
  // neither yet); a module's level is kept beside its name, one entry per named module.
  uint32_t m_ChannelLevels[CTRS_Stream_Context::kChannels];
  std::map<uint16_t, uint32_t> m_ModuleLevels[CTRS_Stream_Context::kChannels];
  std::vector<sTRS_Verbosity_Rule> m_Added_Rules;  // Add_Rule's, this client's only
  uint64_t m_Queued = 0;
};

#endif  // TOOLS_TRACE_SERVER_CLIENT_COMMANDS_H_
