// CTxtChannel: what a text reader knows about one channel of the stream: its time base and
// timer, its name, its call sites by trace ID, its modules by module ID and its threads by
// thread ID (with every registration of a reused ID, newest first), plus the message buffer and
// the digits buffer shared by the formatters of its call sites.
//
// A channel lives from its information record to its close record (or to its reader's end).
//
// Thread-safety: none; owned and used by the one thread that parses the stream.
#ifndef TRACE_DECODE_TXT_CHANNEL_H_
#define TRACE_DECODE_TXT_CHANNEL_H_

#include <stdint.h>

#include "trace/base/blist.h"
#include "trace/base/rb_tree.h"
#include "trace/decode/formatter.h"
#include "trace/decode/trace_descriptor.h"

// One module of a channel.
struct sTRTraceMod {
  uint32_t level;
  char name[54];  // zero-terminated
  uint64_t length;
};

// One registration of a thread ID; stop is all ones while the thread runs.
struct sThreadRecord {
  uint32_t thread_id;
  uint64_t start;
  uint64_t stop;
  char name[48];  // zero-terminated
  uint64_t length;
};

// Chain element of a tree node: the registrations of one thread ID, newest start first.
struct sRbThread {
  sThreadRecord* record;
  sRbThread* next;
};

// Threads by ID; releasing a node's element frees its whole chain.
class CThreads_Tree : public CRBTree<sRbThread*, unsigned int> {
 public:
  ~CThreads_Tree() override;

 protected:
  bool Is_Key_Less(unsigned int key, sRbThread* element) override;
  bool Is_Qual(unsigned int key, sRbThread* element) override;
  bool Data_Release(sRbThread* element) override;
};

class CTxtChannel {
 public:
  static constexpr uint32_t kFormatSlots = 1536;
  static constexpr uint32_t kModuleSlots = 128;
  static constexpr uint32_t kMessageCapacity = 4096;
  static constexpr uint32_t kNameBytes = 64;

  // Builds the channel from its information record (`size` >= 164). Null when memory runs out
  // or the record is too short.
  static CTxtChannel* Create(const uint8_t* record, uint32_t size);
  ~CTxtChannel();

  CTxtChannel(const CTxtChannel&) = delete;
  CTxtChannel& operator=(const CTxtChannel&) = delete;

  // Format record: stores a new call site unless its ID already has one (the first stays).
  void Add_Format(const uint8_t* record, uint32_t size);
  // Module record: stores the module unless its ID already has one.
  void Add_Module(const uint8_t* record, uint32_t size);
  void Thread_Start(const uint8_t* record, uint32_t size);
  void Thread_Stop(const uint8_t* record, uint32_t size);

  // The call site of trace ID `id`, or null.
  CTraceDescriptor* Get_Format(uint32_t id);
  // The module of `id`, or null.
  sTRTraceMod* Get_Module(uint32_t id);
  // The registration of `thread_id` whose lifetime covers `timer`, or null.
  const sThreadRecord* Find_Thread(uint32_t thread_id, uint64_t timer);

  // Formats a data record's arguments into the message buffer, growing it when needed (bounded).
  // Returns the message length; the message is empty when it cannot be rendered.
  uint64_t Format_Message(CTraceDescriptor* desc, const uint8_t* values, uint32_t values_size);
  const char* Message() const { return m_Message ? m_Message : ""; }

  // 100-ns units since the channel's creation for a timer value (0 when earlier).
  uint64_t Since_Start(uint64_t timer) const;

  uint64_t Time_Base() const { return m_TimeBase; }
  const char* Name() const { return m_Name; }
  uint64_t Name_Length() const { return m_NameLength; }
  void Set_Last_Timer(uint64_t timer) { m_LastTimer = timer; }

  // Largest message buffer the channel grows to; a message that still does not fit is dropped.
  static constexpr uint64_t kMaxMessageCapacity = 8ull << 20;

 private:
  CTxtChannel() = default;
  bool Init(const uint8_t* record, uint32_t size);

  uint64_t m_TimeBase = 0;        // 100-ns units since 1601-01-01 at creation
  uint64_t m_TimerValue = 0;      // channel timer at creation
  uint64_t m_TimerFrequency = 0;  // ticks per second
  uint64_t m_Flags = 0;
  CBList<CTraceDescriptor*> m_Formats;  // by trace ID; empty slots are null
  CBList<sTRTraceMod*> m_Modules;       // by module ID; empty slots are null
  CThreads_Tree m_Threads;
  char* m_Message = nullptr;  // owned; m_MessageCapacity bytes
  uint64_t m_MessageCapacity = 0;
  uint64_t m_LastTimer = 0;
  char m_Name[kNameBytes] = {};
  uint64_t m_NameLength = 0;
  CFormatter::sBuffer* m_Digits = nullptr;  // one reference held
};

#endif  // TRACE_DECODE_TXT_CHANNEL_H_
