// CTxtChannel: what a text reader knows about one channel of the stream: its time base and
// timer, its name, its call sites by trace ID, its modules by module ID and its threads by
// thread ID (with every registration of a reused ID, newest first), plus the message buffer and
// the digits buffer shared by the formatters of its call sites.
//
// A channel lives from its information record to its close record (or to its reader's end).
//
// Memory: with a budget (Create's `budget`, e.g. a trace server's account for one client) every
// piece of state is charged before it is made and released when the channel goes; a piece whose
// charge is refused is not made (its record is ignored, counted in Refused). Without a budget
// the fixed caps below still bound what hostile input can make a channel keep: at most
// kMax_Thread_Registrations thread registrations and kMax_Descriptor_Bytes of call sites.
// Formatting is bounded too: a message longer than the channel's text limit (Create's
// `max_text`: kMax_Message_Text for readers of one's own traces, less for a server that formats
// other hosts' records) is cut there, on a character boundary, and ends with kCut_Mark.
//
// Thread-safety: none; owned and used by the one thread that parses the stream.
#ifndef TRACE_DECODE_TXT_CHANNEL_H_
#define TRACE_DECODE_TXT_CHANNEL_H_

#include <stdint.h>

#include "trace/base/blist.h"
#include "trace/base/memory_budget.h"
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

  static constexpr uint64_t kMax_Thread_Registrations = 1u << 20;
  static constexpr uint64_t kMax_Descriptor_Bytes = 256ull << 20;
  // The longest message text kept by default (readers of files and the text sink).
  static constexpr uint64_t kMax_Message_Text = 8ull << 20;
  static constexpr char kCut_Mark[] = " [cut]";

  // Builds the channel from its information record (`size` >= 164). Null when memory runs out,
  // the record is too short or `budget` (may be null; must outlive the channel) refuses the
  // channel's fixed state. `max_text`: the longest message text kept (at least 4096).
  static CTxtChannel* Create(const uint8_t* record, uint32_t size, CMemory_Budget* budget = nullptr,
                             uint64_t max_text = kMax_Message_Text);
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

  // Room beyond the longest text kept that the message buffer may grow by: the formatter's
  // margins and the cut mark.
  static constexpr uint64_t kMessage_Margin = 1024;

  // Records whose state was not kept (refused by the budget or over a fixed cap).
  uint64_t Refused() const { return m_Refused; }

 private:
  CTxtChannel() = default;
  bool Init(const uint8_t* record, uint32_t size);
  // Charges `bytes` to the budget (always true without one); false counts a refusal.
  bool Charge(uint64_t bytes);
  void Release(uint64_t bytes);
  // Makes `list` hold at least `count` slots, charging the new ones first.
  template <class T>
  bool Grow_Slots(CBList<T>* list, uint32_t count);
  // Cuts the partial text in the message buffer at m_MaxText (on a character boundary) and
  // appends kCut_Mark; returns the new length.
  uint64_t Cut_Message();

  uint64_t m_MaxText = kMax_Message_Text;  // the longest message text kept
  uint64_t m_TimeBase = 0;                 // 100-ns units since 1601-01-01 at creation
  uint64_t m_TimerValue = 0;               // channel timer at creation
  uint64_t m_TimerFrequency = 0;           // ticks per second
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
  CMemory_Budget* m_Budget = nullptr;       // not owned; null: the fixed caps only
  uint64_t m_Charged = 0;                   // charged to m_Budget, released by the destructor
  uint64_t m_Descriptor_Bytes = 0;          // estimated cost of the call sites kept
  uint64_t m_Thread_Registrations = 0;
  uint64_t m_Refused = 0;
};

#endif  // TRACE_DECODE_TXT_CHANNEL_H_
