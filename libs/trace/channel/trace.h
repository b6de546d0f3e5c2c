// CTRTrace: a trace channel. It registers with one client as one of its 32 channels, keeps what a
// reader needs to decode its records (channel information, live threads, modules, call-site
// descriptors), filters calls by verbosity per channel and per module, and turns each passing
// call into trace stream records handed to the client with Sent.
//
// Delivery: records that describe the channel (information, UTC offset, thread start and stop,
// module) stay pending until a Sent succeeds; a refused trace call is dropped (false) but leaves
// them pending, and the descriptor that travelled with it counts as unsent. When the sink reports
// a new connection (a new `resets` while connected) the whole context is queued again and every
// descriptor is sent again before its next data record.
//
// Ownership: reference counted (1 at creation; deleted by the last Release). The channel holds
// one reference to its client for its whole life and unregisters itself before it dies.
// Descriptors live in the channel's arena; thread, stop and module records live in blocks that
// never move, so a module handle stays valid for the channel's life.
//
// Thread-safety: every operation may be called from any thread. m_Lock (recursive) guards every
// field marked so below, including the callbacks from the client. Lock order: the client's
// channel lock, then m_Lock, then the sink's locks (Sent is called with m_Lock held). The channel
// takes the client's channel lock only through Register_Channel during creation and
// Unregister_Channel during destruction.
#ifndef TRACE_CHANNEL_TRACE_H_
#define TRACE_CHANNEL_TRACE_H_

#include <stdarg.h>
#include <stdint.h>

#include <atomic>

#include <mqtt-wrapper/TR.h>

#include "trace/base/clocks.h"
#include "trace/base/lock.h"
#include "trace/channel/data_block.h"
#include "trace/channel/desc_tree.h"
#include "trace/channel/memory_manager.h"
#include "trace/channel/modules_tree.h"
#include "trace/channel/trace_desc.h"
#include "trace/format/trace_format.h"
#include "trace/core/shared.h"

class CTRTrace final : public ITR_Trace {
 public:
  static constexpr uint32_t kMax_Start_Blocks = 4;    // 128 live thread start records
  static constexpr uint32_t kMax_Stop_Blocks = 4;     // 128 undelivered thread stop records
  static constexpr uint32_t kMax_Module_Blocks = 16;  // 512 modules
  static constexpr uint32_t kFixed_IDs = 1024;        // IDs 1..1023 are the callers' own
  static constexpr uint16_t kLast_Dynamic_ID = 0xFFFF;
  static constexpr uint32_t kInitial_Chunks = 256;
  static constexpr uint32_t kInitial_Staging = 256;
  static constexpr uint32_t kThread_Name_Bytes = 47;
  static constexpr uint32_t kModule_Name_Bytes = 53;

  // Creates a registered, active channel, or returns null leaving the calling thread's last
  // error (8 no client, 2 out of memory, 9 refused by the client). `arena_limit` caps the
  // descriptor arena (the public factory uses CMemoryManager::kDefault_Limit).
  static CTRTrace* Create(ITR_Client* client, const char* name, const stTrace_Conf* conf,
                          uint64_t arena_limit = CMemoryManager::kDefault_Limit);

  CTRTrace(const CTRTrace&) = delete;
  CTRTrace& operator=(const CTRTrace&) = delete;

  // ITRC_Channel
  uint32_t Get_Type() override { return 0; }
  uint32_t Add_Ref() override;
  uint32_t Release() override;
  void On_Init(sTRC_Channel_Info* info) override;
  void On_Receive(uint32_t id, uint8_t* data, uint32_t size, uint32_t swap) override;
  void On_Status(uint32_t id, const sTRC_Status* status) override;
  void On_Flush(uint32_t id, uint32_t* flag) override;

  // ITR_Trace
  void Set_Verbosity(void* module, eTRTrace_Level level) override;
  eTRTrace_Level Get_Verbosity(void* module) override;
  bool Register_Thread(const char* name, uint32_t thread_id) override;
  bool Unregister_Thread(uint32_t thread_id) override;
  bool Register_Module(const char* name, void** module) override;
  bool Share(const char* name) override;
  bool Trace(uint16_t id, eTRTrace_Level level, void* module, uint16_t line, const char* file,
             const char* function, const char* format, ...) override
      __attribute__((format(printf, 8, 9)));
  bool Trace_Embedded(uint16_t id, eTRTrace_Level level, void* module, uint16_t line,
                      const char* file, const char* function, const char** format) override;
  bool Trace_Embedded(uint16_t id, eTRTrace_Level level, void* module, uint16_t line,
                      const char* file, const char* function, const char** format,
                      va_list* args) override;
  bool Trace_Managed(uint16_t id, eTRTrace_Level level, void* module, uint16_t line,
                     const char* file, const char* function, const char* message) override;

  // The channel's slot ID at its client.
  uint32_t Get_ID();

 private:
  // Per-site cache in front of the call-site tree: most calls find their descriptor here.
  struct sSite_Cache {
    const void* function;
    const void* format;
    CTRTrace_Desc* desc;
  };
  static constexpr uint32_t kSite_Cache = 256;

  CTRTrace(ITR_Client* client, const stTrace_Conf* conf, uint64_t arena_limit);
  ~CTRTrace() override;

  // Creation steps 2..6; false with the last error set.
  bool Init(const char* name);

  // Packs one printf-style call (format passed by address) and hands it over.
  bool Trace_Raw(uint16_t id, eTRTrace_Level level, void* module, uint16_t line, const char* file,
                 const char* function, const char** format, va_list* args);

  // Steps shared by both kinds of call, in order: the first chunk of the call (the descriptor
  // when due; `size` starts from the pending bytes), the trailer (returns its size), and the
  // data header plus hand-over (false when refused; the descriptor then counts as unsent).
  sTRC_Data_Chunk* Begin_Call(CTRTrace_Desc* desc, bool* with_desc, uint64_t* size);
  uint32_t Fill_Trailer(const sTRTrace_Module* mod);
  bool Finish_Call(CTRTrace_Desc* desc, eTRTrace_Level level, sTRC_Data_Chunk* header,
                   sTRC_Data_Chunk* end, uint64_t size, uint64_t record_size, bool with_desc);

  // Descriptor of a printf-style site / of an already formatted site; null: drop the call.
  CTRTrace_Desc* Find_Desc(uint16_t id, uint16_t module_id, uint16_t line, const char* file,
                           const char* function, const char** format);
  CTRTrace_Desc* Find_Managed_Desc(uint16_t id, uint16_t module_id, uint16_t line,
                                   const char* file, const char* function);
  // Allocates a descriptor in the arena; the managed form when `format` is null.
  CTRTrace_Desc* New_Desc(uint16_t id, uint16_t module_id, uint16_t line, const char* file,
                          const char* function, const char** format, const uint64_t* key);
  // The next dynamic ID, or 0 when all are used.
  uint16_t Next_Dynamic_ID();

  // Makes room for `extra` chunks after the pending ones; false when memory is short.
  bool Reserve_Chunks(uint32_t extra) {
    return uint64_t{m_Pending_Count} + extra <= m_Chunks_Capacity || Grow_Chunks(extra);
  }
  bool Grow_Chunks(uint32_t extra);
  // Appends a record to the pending chunks, merging it into an adjacent pending chunk.
  bool Queue_Record(const void* record, uint32_t size);
  // Hands the first `count` chunks (`size` bytes) to the client. On success the pending chunks
  // are cleared and delivered thread stops retire their start records.
  bool Send(uint32_t count, uint32_t size);
  // True when records may be handed over now.
  bool Can_Send() const { return m_Active && m_Status.connected; }
  // Sends the pending chunks when connected; false when nothing was delivered.
  bool Flush_Pending();
  // Queues the whole context again after a new connection.
  void Queue_Context();
  // Removes the first live start record of `thread_id`, if any.
  void Remove_Start(uint32_t thread_id);
  // Drops the start records of delivered stops, then the stops themselves.
  void Retire_Stops();
  // Final flush: close record after the pending chunks; the channel becomes inactive.
  void Final_Flush();
  // Module record at 1-based `module_id` in block order, or null.
  sTRTrace_Module* Module_By_ID(uint16_t module_id);
  // The channel's timer now.
  uint64_t Timer() {
    return m_Conf.get_timer ? m_Conf.get_timer(m_Conf.context) : GetPerformanceCounter();
  }
  // Removes the channel's shared-registry entry, if any.
  void Remove_Shared();

  std::atomic<uint32_t> m_RefCount{1};
  ITR_Client* m_Client;  // one reference held for the channel's life
  stTrace_Conf m_Conf;   // copy of the creation settings (zeros when none); read-only

  CLock m_Lock;  // the channel lock; guards everything below
  uint32_t m_ID = 0;
  uint32_t m_Counter = 0;  // call counter, incremented by every trace call
  bool m_Active = false;
  bool m_Registered = false;
  eTRTrace_Level m_Verbosity = TRL_TRACE;
  sTRC_Status m_Status{1, 0};   // last status seen from the client
  int64_t m_Context_Resets = 0;  // resets value the pending context was built for

  sTRTrace_Info m_Info;
  sTRTrace_UTC_Offset m_UTC;
  sTRTrace_Data m_Data_Header;
  sTRTrace_Verbosity m_Verbosity_Record;
  sTRTrace_Close m_Close_Record;
  uint8_t m_Trailer[4];

  sTRC_Data_Chunk* m_Chunks = nullptr;  // pending chunks first, then those of the current call
  uint32_t m_Chunks_Capacity = 0;
  uint32_t m_Pending_Count = 0;
  uint32_t m_Pending_Size = 0;

  CData_Blocks<sTRTrace_Thread_Start> m_Starts;
  CData_Blocks<sTRTrace_Thread_Stop> m_Stops;
  CData_Blocks<sTRTrace_Module> m_Modules;
  uint32_t m_Modules_Count = 0;
  CModules_Tree m_Module_Names;

  CMemoryManager m_Arena;
  uint64_t* m_Staging = nullptr;  // argument values of the current call (arena scratch buffer)
  uint32_t m_Staging_Args = 0;    // values m_Staging can hold
  CTRTrace_Desc* m_IDs[kFixed_IDs] = {};
  CDesc_Tree m_Sites;
  CDesc_Tree m_Managed_Sites;
  sSite_Cache m_Site_Cache[kSite_Cache] = {};
  uint16_t m_Dynamic_ID = 1024;

  // Shared-registry entry of this channel; null when not shared. Guarded by m_Lock.
  CShared::sShared* m_Shared = nullptr;
};

#endif  // TRACE_CHANNEL_TRACE_H_
