// Lock order: see client.h.
#include "trace/core/client.h"

#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <new>

#include "trace/core/journal.h"
#include "trace/core/staged_source.h"

namespace {

constexpr char kFlushChannelsKey[] = "/TR.FlashChannels=";

// Frees an argument array made by Copy_Arguments (null entries allowed).
void Free_Arguments(char** args, int count) {
  if (args == nullptr) return;
  for (int i = 0; i < count; ++i) free(args[i]);
  delete[] args;
}

// Owned copies of `count` argument strings; a null source becomes an empty string so that every
// stored argument is a valid C string. Returns false (and nothing) when memory runs out.
bool Copy_Arguments(char** args, int count, char*** out_args, int* out_count) {
  *out_args = nullptr;
  *out_count = 0;
  if (args == nullptr || count <= 0) return true;
  char** copies = new (std::nothrow) char*[count]();
  if (copies == nullptr) return false;
  for (int i = 0; i < count; ++i) {
    copies[i] = strdup(args[i] != nullptr ? args[i] : "");
    if (copies[i] == nullptr) {
      Free_Arguments(copies, i);
      return false;
    }
  }
  *out_args = copies;
  *out_count = count;
  return true;
}

}  // namespace

CClient::CClient(eType type, char** args, int count)
    : m_RefCount(1),
      m_Status(eCode_Ok),
      m_Channels{},
      m_Shared(nullptr),
      m_CrashRegistered(0),
      m_Journal(nullptr),
      m_Connection{1, 0},
      m_Type(type),
      m_Args(nullptr),
      m_ArgsCount(0),
      m_FlushChannels(1) {
  // Out of memory leaves the client without options: it then runs with every default, which is
  // what a caller without options would get.
  Copy_Arguments(args, count, &m_Args, &m_ArgsCount);

  const char* flush = Get_Argument(kFlushChannelsKey);
  if (flush != nullptr && flush[0] == '0') m_FlushChannels = 0;

  Init_Log(m_Args, m_ArgsCount);
}

void CClient::Init_Log(char** args, int count) {
  m_Journal = CJournal::Create_From_Args(args, count);
}

CClient::~CClient() {
  // Each sink leaves both registries in its own destructor, while it can still be closed. This
  // repeat is a no-op then; it guarantees that no registry entry ever outlives the client.
  CClient::Uninit_Crash_Handler();
  CClient::Unshare();
  if (m_Journal != nullptr) m_Journal->Release();
  m_Journal = nullptr;
  Free_Arguments(m_Args, m_ArgsCount);
  m_Args = nullptr;
  m_ArgsCount = 0;
}

ITR_Client::eType CClient::Get_Type() { return m_Type; }

uint32_t CClient::Add_Ref() { return m_RefCount.fetch_add(1) + 1; }

uint32_t CClient::Release() {
  const uint32_t count = m_RefCount.fetch_sub(1) - 1;
  if (count == 0) delete this;
  return count;
}

uint32_t CClient::Get_Status() { return m_Status; }

bool CClient::Get_Status(sTRC_Status* status) {
  if (status == nullptr) return false;
  CLockGuard guard(&m_StatusLock);
  status->connected = m_Connection.connected;
  status->resets = m_Connection.resets;
  return true;
}

uint32_t CClient::Register_Channel(ITRC_Channel* channel) {
  if (channel == nullptr) return eCode_Bad_Args;

  // The status is read through the virtual call, so that a sink reports its own view of the
  // connection, and before the channel lock, so that no sink lock is ever taken inside it here.
  // When a status walk ran in between, the status read may already be out of date and the walk
  // did not reach this channel: read it again.
  for (;;) {
    const uint32_t epoch = m_StatusEpoch.load();
    sTRC_Status status{0, 0};
    if (!Get_Status(&status)) status = sTRC_Status{0, 0};

    CLockGuard guard(&m_ChannelLock);
    if (m_StatusEpoch.load() != epoch) continue;
    for (uint32_t id = 0; id < kMaxChannels; ++id) {
      if (m_Channels[id] != nullptr) continue;
      m_Channels[id] = channel;
      sTRC_Channel_Info info{id};
      channel->On_Init(&info);
      channel->On_Status(id, &status);
      return eCode_Ok;
    }
    return eCode_No_Slot;
  }
}

uint32_t CClient::Unregister_Channel(uint32_t id) {
  CLockGuard guard(&m_ChannelLock);
  if (id >= kMaxChannels || m_Channels[id] == nullptr) return eCode_Bad_Args;
  m_Channels[id] = nullptr;
  return eCode_Ok;
}

const char* CClient::Get_Argument(const char* prefix) {
  if (prefix == nullptr || m_Args == nullptr) return nullptr;
  const size_t length = strlen(prefix);
  for (int i = 0; i < m_ArgsCount; ++i) {
    // strncmp stops at the argument's terminator, so a shorter argument never matches.
    if (strncmp(m_Args[i], prefix, length) == 0) return m_Args[i] + length;
  }
  return nullptr;
}

uint32_t CClient::Get_Channels_Count() {
  CLockGuard guard(&m_ChannelLock);
  uint32_t count = 0;
  for (ITRC_Channel* channel : m_Channels) {
    if (channel != nullptr) ++count;
  }
  return count;
}

ITRC_Channel* CClient::Get_Channel(size_t index) {
  CLockGuard guard(&m_ChannelLock);
  size_t seen = 0;
  for (ITRC_Channel* channel : m_Channels) {
    if (channel == nullptr) continue;
    if (seen == index) {
      channel->Add_Ref();
      return channel;
    }
    ++seen;
  }
  return nullptr;
}

IJournal* CClient::Get_Journal() { return m_Journal; }

void CClient::Settle_Staged_Channels() {
  uint64_t least = UINT64_MAX;
  for (uint32_t idle_ms = 0; idle_ms < kSettle_Patience_ms; ++idle_ms) {
    uint64_t staged = 0;
    {
      CLockGuard guard(&m_ChannelLock);
      for (ITRC_Channel* channel : m_Channels) {
        auto* source = dynamic_cast<IStaged_Source*>(channel);
        if (source == nullptr) continue;
        source->Merge_Staged();
        staged += source->Staged_Bytes();
      }
    }
    if (staged == 0) return;
    {
      CLockGuard status(&m_StatusLock);
      if (m_Connection.connected == 0) return;
    }
    if (staged < least) {
      least = staged;
      idle_ms = 0;
    }
    usleep(1000);
  }
}

void CClient::Flush_Channels() {
  if (m_FlushChannels == 0) return;
  Settle_Staged_Channels();
  CLockGuard guard(&m_ChannelLock);
  m_StatusEpoch.fetch_add(1);
  for (uint32_t id = 0; id < kMaxChannels; ++id) {
    ITRC_Channel* channel = m_Channels[id];
    if (channel == nullptr) continue;
    uint32_t flag = 1;
    channel->On_Flush(id, &flag);
    // A channel may unregister itself from within its flush (the lock is recursive); it must
    // then not be called again.
    if (m_Channels[id] != channel) continue;
    const sTRC_Status stopped{0, 0};
    channel->On_Status(id, &stopped);
  }
}

void CClient::Merge_Staged_Channels() {
  CLockGuard guard(&m_ChannelLock);
  for (ITRC_Channel* channel : m_Channels) {
    if (auto* source = dynamic_cast<IStaged_Source*>(channel)) source->Merge_Staged();
  }
}

void CClient::Notify_Channels(const sTRC_Status& status) {
  CLockGuard guard(&m_ChannelLock);
  m_StatusEpoch.fetch_add(1);
  for (uint32_t id = 0; id < kMaxChannels; ++id) {
    ITRC_Channel* channel = m_Channels[id];
    if (channel != nullptr) channel->On_Status(id, &status);
  }
}
