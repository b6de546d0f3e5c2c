// CClient: the common base of every sink. It keeps the reference count, the 32 channel slots
// (the slot index is the channel ID), the connection status, the owned copies of the "/TR."
// options the client was created with and the engine journal; a sink adds Get_Info, Sent, Flush
// and Close and its own delivery machinery.
//
// Thread-safety: every operation may be called from any thread. m_ChannelLock guards the channel
// table and the shared-registry handle; m_StatusLock guards m_Connection and the sink's delivery
// state; clang checks every access to a field marked TR_GUARDED_BY. The client does not own
// references to its channels: a channel holds a reference to its client and unregisters itself
// before it dies.
//
// Lock order of the client core, outermost first:
//   1. the "Crash" registry semaphore (crash_registry.h; the exceptional flush closes clients
//      while holding it);
//   2. a client's m_ChannelLock (also taken by Share/Unshare around a registry entry's named
//      semaphore, which is therefore taken after it);
//   3. a channel's own lock (taken inside the On_* callbacks);
//   4. the client's m_StatusLock (its place after m_ChannelLock is declared below), then the
//      sink's own locks;
//   leaves, under which nothing else is taken: a journal's lock, the last-error lock and the
//   list of published registry names.
// Nothing takes m_ChannelLock while holding m_StatusLock or a channel's lock. Both client locks
// are recursive: a channel may unregister itself from within a callback that the client makes
// under m_ChannelLock. m_ChannelLock is a sleeping CLock (its holders call into channels);
// m_StatusLock is a spinning CHot_Lock, held by Sent for a copy and never across a wait.
#ifndef TRACE_CORE_CLIENT_H_
#define TRACE_CORE_CLIENT_H_

#include <stddef.h>
#include <stdint.h>

#include <atomic>

#include <mqtt-wrapper/TR.h>

#include "trace/base/hot_lock.h"
#include "trace/base/lock.h"
#include "trace/base/thread_annotations.h"
#include "trace/core/shared.h"

class IJournal;

class CClient : public ITR_Client {
 public:
  static constexpr uint32_t kMaxChannels = 32;

  // Copies every argument string (the caller keeps its own array), reads "/TR.FlashChannels="
  // and creates the journal when "/TR.Verb=" asks for one. `args` may be null when `count` is 0.
  // When the copies cannot be allocated the client runs without arguments (all defaults).
  CClient(eType type, char** args, int count);
  ~CClient() override;

  CClient(const CClient&) = delete;
  CClient& operator=(const CClient&) = delete;

  eType Get_Type() override;
  uint32_t Add_Ref() override;
  uint32_t Release() override;
  uint32_t Get_Status() override;
  bool Get_Status(sTRC_Status* status) override;
  uint32_t Register_Channel(ITRC_Channel* channel) override;
  uint32_t Unregister_Channel(uint32_t id) override;
  bool Share(const char* name) override;
  const char* Get_Argument(const char* prefix) override;
  uint32_t Get_Channels_Count() override;
  ITRC_Channel* Get_Channel(size_t index) override;
  bool Unshare() override;

  // The client's journal (owned by the client), or null when "/TR.Verb=" did not ask for one.
  IJournal* Get_Journal();

  // True when the sink promises its output no sooner than its own writer, Flush or Close make it
  // (it buffers records and writes them on its own thread, so a record is not readable when the
  // call that made it returns): its trace channels may then stage every call, contended or not,
  // and merge the records before the writer, Flush or Close need them. Fixed at construction.
  bool Defers_Delivery() const { return m_Defers_Delivery; }

  // Enters the process's crash registry; called by a sink at the end of a successful
  // initialisation. Always returns 0; problems go to the journal.
  uint32_t Init_Crash_Handler();
  // Leaves the crash registry if the client is in it; called by every sink's destructor.
  void Uninit_Crash_Handler();

  // The shared first step of every sink's Close: unless "/TR.FlashChannels=0", the channels'
  // staged records are settled (Settle_Staged_Channels), then under the channel lock every
  // registered channel gets On_Flush(id, &1) and then On_Status(id, {0, 0}), so that it emits its
  // final records and then stops sending. REQUIRES: the sink still delivers (its worker runs).
  void Flush_Channels();
  // Waits until the sink has taken every record its channels staged, the sink goes off, or
  // kSettle_Patience_ms pass without progress. Each step merges under the channel lock; the
  // sleeps between steps hold no lock, so the sink's own threads (a reconnection notifying the
  // channels) keep running while the staged records wait for room.
  void Settle_Staged_Channels();
  static constexpr uint32_t kSettle_Patience_ms = 1000;
  // The first step of a sink's Flush: every registered channel that staged records merges them
  // (staged_source.h), so the flush covers every call that was accepted before it.
  void Merge_Staged_Channels();
  // Under the channel lock, On_Status(id, &status) for every registered channel. A sink calls it
  // after every change of its connection status (and without holding its own locks), which is
  // what lets a channel registering at the same time end up with the current status.
  void Notify_Channels(const sTRC_Status& status);

 protected:
  // The argument checks every sink's Sent makes before it takes a lock: a channel slot, at least
  // one chunk, and a record length that fits a user-data header.
  static bool Record_Args_Valid(uint32_t id, const sTRC_Data_Chunk* chunks, uint32_t count,
                                uint32_t size) {
    return chunks != nullptr && count != 0 && id < kMaxChannels &&
           size <= sTRC_User_Header::kMaxLength - 4;
  }
  // The chunks add up to `size` and none of those with bytes has a null pointer: room checks and
  // headers rely on `size`, so chunks that disagree with it are refused whole.
  static bool Chunks_Add_Up(const sTRC_Data_Chunk* chunks, uint32_t count, uint32_t size) {
    uint64_t total = 0;
    for (uint32_t i = 0; i < count; ++i) {
      if (chunks[i].data == nullptr && chunks[i].size != 0) return false;
      total += chunks[i].size;
    }
    return total == size;
  }

  // Creates the journal when "/TR.Verb=" in `args` asks for one (constructor step).
  void Init_Log(char** args, int count);

  std::atomic<uint32_t> m_RefCount;  // 1 after construction
  uint32_t m_Status;                 // eClient_Code; set by a sink whose initialisation failed
  CLock m_ChannelLock;
  CHot_Lock m_StatusLock TR_ACQUIRED_AFTER(m_ChannelLock);  // also the sink's delivery state
  ITRC_Channel* m_Channels[kMaxChannels] TR_GUARDED_BY(m_ChannelLock);  // not owned
  CShared::sShared* m_Shared TR_GUARDED_BY(m_ChannelLock);              // null when not shared
  uint32_t m_CrashRegistered;  // nonzero while the client is in the crash registry
  IJournal* m_Journal;         // owned reference; null = no journal
  sTRC_Status m_Connection TR_GUARDED_BY(m_StatusLock);  // {1, 0} after construction
  eType m_Type;
  char** m_Args;             // owned copies of the options; null when there are none
  int m_ArgsCount;           // number of entries in m_Args
  uint32_t m_FlushChannels;  // 0 when "/TR.FlashChannels=" begins with '0'
  bool m_Defers_Delivery = false;  // set by a sink's constructor; see Defers_Delivery

 private:
  // Incremented under m_ChannelLock by every walk that tells the channels a new status
  // (Notify_Channels, Flush_Channels). Register_Channel reads the status without the channel lock
  // and uses it only when no such walk ran in between, so a new channel never keeps a status that
  // the other channels have already been told is out of date.
  std::atomic<uint32_t> m_StatusEpoch{0};
};

#endif  // TRACE_CORE_CLIENT_H_
