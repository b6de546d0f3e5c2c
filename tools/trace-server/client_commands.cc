#include "client_commands.h"

#include "trace/server/reply_builder.h"

CClient_Commands::CClient_Commands(const sServer_Options& options, CMemory_Budget* budget,
                                   bool shown, tQueue queue)
    : m_Options(options), m_Budget(budget), m_Copies(shown ? 2 : 1), m_Queue(std::move(queue)) {
  for (uint32_t& level : m_ChannelLevels) level = kUnknown_Level;
}

CClient_Commands::~CClient_Commands() { Restart(std::string()); }

void CClient_Commands::Restart(const std::string& client_name) {
  m_Client_Name = client_name;
  for (uint32_t channel = 0; channel < CTRS_Stream_Context::kChannels; ++channel) {
    if (!m_ChannelNames[channel].empty()) m_Budget->Release(Cost(m_ChannelNames[channel]));
    m_ChannelNames[channel].clear();
    m_ChannelLevels[channel] = kUnknown_Level;
    Forget_Modules(channel);
  }
}

void CClient_Commands::Forget_Modules(uint32_t channel) {
  for (const auto& entry : m_ModuleNames[channel])
    m_Budget->Release(Cost(entry.second) + kLevel_Entry);
  m_ModuleNames[channel].clear();
  m_ModuleLevels[channel].clear();
}

void CClient_Commands::Queue_Command(uint32_t channel, uint32_t level, uint16_t module_id) {
  On_Verbosity(channel, module_id, level);
  ++m_Queued;
  m_Queue(TRS_Make_Verbosity_Command(channel, level, module_id));
}

uint32_t CClient_Commands::Apply_Channel_Rule(const sTRS_Verbosity_Rule& rule, uint32_t channel) {
  if (!rule.module.empty() || !TRS_Name_Matches(rule.channel, m_ChannelNames[channel], channel))
    return 0;
  Queue_Command(channel, rule.level, 0);
  return 1;
}

uint32_t CClient_Commands::Apply_Module_Rule(const sTRS_Verbosity_Rule& rule, uint32_t channel,
                                             uint16_t module_id, const std::string& name) {
  if (rule.module.empty() || !TRS_Name_Matches(rule.channel, m_ChannelNames[channel], channel) ||
      !TRS_Name_Matches(rule.module, name, module_id))
    return 0;
  Queue_Command(channel, rule.level, module_id);
  return 1;
}

void CClient_Commands::On_Verbosity(uint32_t channel, uint16_t module_id, uint32_t level) {
  if (module_id == 0) {
    m_ChannelLevels[channel] = level;
    return;
  }
  // Only a module already named gets an entry: the map stays within the names' bound.
  auto found = m_ModuleLevels[channel].find(module_id);
  if (found != m_ModuleLevels[channel].end()) found->second = level;
}

void CClient_Commands::On_Channel(uint32_t channel, const std::string& name) {
  if (!m_ChannelNames[channel].empty()) m_Budget->Release(Cost(m_ChannelNames[channel]));
  m_ChannelNames[channel].clear();
  m_ChannelLevels[channel] = kUnknown_Level;
  Forget_Modules(channel);
  if (m_Budget->Charge(Cost(name))) m_ChannelNames[channel] = name;
  for (const sTRS_Verbosity_Rule& rule : m_Options.verbosity) {
    if (TRS_Name_Matches(rule.client, m_Client_Name, UINT32_MAX)) Apply_Channel_Rule(rule, channel);
  }
  for (const sTRS_Verbosity_Rule& rule : m_Added_Rules) Apply_Channel_Rule(rule, channel);
}

void CClient_Commands::On_Module(uint32_t channel, uint16_t module_id, const std::string& name,
                                 uint32_t level) {
  auto found = m_ModuleNames[channel].find(module_id);
  if (found != m_ModuleNames[channel].end()) {
    m_Budget->Release(Cost(found->second) + kLevel_Entry);
    m_ModuleNames[channel].erase(found);
    m_ModuleLevels[channel].erase(module_id);
  }
  if (m_Budget->Charge(Cost(name) + kLevel_Entry)) {
    m_ModuleNames[channel][module_id] = name;
    m_ModuleLevels[channel][module_id] = level;
  }
  for (const sTRS_Verbosity_Rule& rule : m_Options.verbosity) {
    if (TRS_Name_Matches(rule.client, m_Client_Name, UINT32_MAX))
      Apply_Module_Rule(rule, channel, module_id, name);
  }
  for (const sTRS_Verbosity_Rule& rule : m_Added_Rules)
    Apply_Module_Rule(rule, channel, module_id, name);
}

uint32_t CClient_Commands::Add_Rule(const sTRS_Verbosity_Rule& rule,
                                    const CTRS_Stream_Context& context) {
  // A later rule for the same channel and module replaces the earlier one, so that a page
  // turning a module up and down again does not grow the list.
  std::erase_if(m_Added_Rules, [&](const sTRS_Verbosity_Rule& kept) {
    return kept.channel == rule.channel && kept.module == rule.module;
  });
  if (m_Added_Rules.size() >= kMax_Added_Rules) m_Added_Rules.erase(m_Added_Rules.begin());
  m_Added_Rules.push_back(rule);
  uint32_t queued = 0;
  for (uint32_t channel = 0; channel < CTRS_Stream_Context::kChannels; ++channel) {
    if (!context.Is_Live(channel)) continue;
    queued += Apply_Channel_Rule(rule, channel);
    for (const auto& [module_id, name] : m_ModuleNames[channel])
      queued += Apply_Module_Rule(rule, channel, module_id, name);
  }
  return queued;
}

std::vector<sViewer_Channel> CClient_Commands::Channels(const CTRS_Stream_Context& context) const {
  std::vector<sViewer_Channel> channels;
  for (uint32_t channel = 0; channel < CTRS_Stream_Context::kChannels; ++channel) {
    if (!context.Is_Live(channel)) continue;
    sViewer_Channel shown;
    shown.id = channel;
    shown.name = m_ChannelNames[channel];
    shown.level = m_ChannelLevels[channel];
    for (const auto& [module_id, name] : m_ModuleNames[channel]) {
      auto level = m_ModuleLevels[channel].find(module_id);
      shown.modules.push_back(
          {module_id, name,
           level == m_ModuleLevels[channel].end() ? kUnknown_Level : level->second});
    }
    channels.push_back(std::move(shown));
  }
  return channels;
}
