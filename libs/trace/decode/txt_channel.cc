#include "trace/decode/txt_channel.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <new>

#include "trace/base/utf.h"
#include "trace/format/trace_format.h"

// ---------------------------------------------------------------------------------------------
// Thread tree

CThreads_Tree::~CThreads_Tree() {
  Clear();
  Release_Storage();
}

bool CThreads_Tree::Is_Key_Less(unsigned int key, sRbThread* element) {
  return key < element->record->thread_id;
}

bool CThreads_Tree::Is_Qual(unsigned int key, sRbThread* element) {
  return key == element->record->thread_id;
}

bool CThreads_Tree::Data_Release(sRbThread* element) {
  if (!element) return false;
  while (element) {
    sRbThread* next = element->next;
    delete element->record;
    delete element;
    element = next;
  }
  return true;
}

// ---------------------------------------------------------------------------------------------

namespace {

constexpr uint64_t kBlock = CMemory_Budget::kNode_Overhead;
// A slot of the call-site or module list: its node and its index entry.
constexpr uint64_t kSlot_Cost = kBlock;
constexpr uint64_t kFixed_Cost = sizeof(CTxtChannel) + CTxtChannel::kMessageCapacity +
                                 CFormatter::sBuffer::kCapacity + 4 * kBlock;
// A thread registration: its record, its chain element and its tree node.
constexpr uint64_t kThread_Cost = sizeof(sThreadRecord) + sizeof(sRbThread) + 3 * kBlock;
constexpr uint64_t kModule_Cost = sizeof(sTRTraceMod) + kBlock;

}  // namespace

bool CTxtChannel::Charge(uint64_t bytes) {
  if (m_Budget && !m_Budget->Charge(bytes)) {
    ++m_Refused;
    return false;
  }
  m_Charged += m_Budget ? bytes : 0;
  return true;
}

void CTxtChannel::Release(uint64_t bytes) {
  if (!m_Budget) return;
  m_Budget->Release(bytes);
  m_Charged -= bytes;
}

template <class T>
bool CTxtChannel::Grow_Slots(CBList<T>* list, uint32_t count) {
  if (list->Count() >= count) return true;
  if (!Charge((count - list->Count()) * kSlot_Cost)) return false;
  while (list->Count() < count) {
    if (!list->Add_Last(nullptr)) return false;
  }
  return list->Index_Build();
}

CTxtChannel* CTxtChannel::Create(const uint8_t* record, uint32_t size, CMemory_Budget* budget,
                                 uint64_t max_text) {
  if (budget && !budget->Charge(kFixed_Cost)) return nullptr;
  CTxtChannel* channel = new (std::nothrow) CTxtChannel();
  if (!channel) {
    if (budget) budget->Release(kFixed_Cost);
    return nullptr;
  }
  channel->m_Budget = budget;
  channel->m_MaxText = std::max<uint64_t>(max_text, kMessageCapacity);
  channel->m_Charged = budget ? kFixed_Cost : 0;
  if (!channel->Init(record, size)) {
    delete channel;
    return nullptr;
  }
  return channel;
}

bool CTxtChannel::Init(const uint8_t* record, uint32_t size) {
  m_Digits = new (std::nothrow) CFormatter::sBuffer();
  if (!m_Digits) return false;
  if (!record || size < sizeof(sTRTrace_Info)) return false;
  sTRTrace_Info info;
  memcpy(&info, record, sizeof(info));
  m_TimeBase = (static_cast<uint64_t>(info.time_hi) << 32) | info.time_lo;
  m_TimerValue = info.timer_value;
  m_TimerFrequency = info.timer_frequency;
  m_Flags = info.flags;
  uint16_t name[64];
  memcpy(name, info.name, sizeof(name));
  name[63] = 0;
  int32_t length = Convert_UTF16_To_UTF8(name, m_Name, kNameBytes);
  m_NameLength = length > 0 ? static_cast<uint64_t>(length) : 0;
  m_Name[m_NameLength] = '\0';
  m_Message = static_cast<char*>(malloc(kMessageCapacity));
  if (!m_Message) return false;
  m_MessageCapacity = kMessageCapacity;
  return Grow_Slots(&m_Formats, kFormatSlots) && Grow_Slots(&m_Modules, kModuleSlots);
}

CTxtChannel::~CTxtChannel() {
  m_Formats.Clear(true);
  m_Modules.Clear(true);
  m_Threads.Clear();
  free(m_Message);
  if (m_Digits) m_Digits->Release();
  if (m_Budget) m_Budget->Release(m_Charged);
}

void CTxtChannel::Add_Format(const uint8_t* record, uint32_t size) {
  if (size < sizeof(sTRTrace_Format)) return;
  sTRTrace_Format fixed;
  memcpy(&fixed, record, sizeof(fixed));
  if (!Grow_Slots(&m_Formats, static_cast<uint32_t>(fixed.id) + 1)) return;
  auto* cell = m_Formats.Get_ByIndex(fixed.id);
  if (!cell || cell->data) return;  // the first descriptor of an ID stays
  const uint64_t cost = CTraceDescriptor::Cost(record, size);
  if (cost > kMax_Descriptor_Bytes - m_Descriptor_Bytes) {
    ++m_Refused;
    return;
  }
  if (!Charge(cost)) return;
  cell->data = CTraceDescriptor::Create(record, size, m_Digits);
  if (!cell->data) {
    Release(cost);
    return;
  }
  m_Descriptor_Bytes += cost;
}

void CTxtChannel::Add_Module(const uint8_t* record, uint32_t size) {
  if (size < sizeof(sTRTrace_Module)) return;
  sTRTrace_Module module;
  memcpy(&module, record, sizeof(module));
  if (!Grow_Slots(&m_Modules, static_cast<uint32_t>(module.id) + 1)) return;
  auto* cell = m_Modules.Get_ByIndex(module.id);
  if (!cell || cell->data) return;
  if (!Charge(kModule_Cost)) return;
  sTRTraceMod* mod = new (std::nothrow) sTRTraceMod();
  if (!mod) {
    Release(kModule_Cost);
    return;
  }
  mod->level = module.level;
  memcpy(mod->name, module.name, sizeof(mod->name));
  mod->name[sizeof(mod->name) - 1] = '\0';
  mod->length = strlen(mod->name);
  cell->data = mod;
}

void CTxtChannel::Thread_Start(const uint8_t* record, uint32_t size) {
  if (size < sizeof(sTRTrace_Thread_Start)) return;
  sTRTrace_Thread_Start start;
  memcpy(&start, record, sizeof(start));
  if (m_Thread_Registrations >= kMax_Thread_Registrations) {
    ++m_Refused;
    return;
  }
  if (!Charge(kThread_Cost)) return;
  // Every path below that does not keep the registration gives its charge back.
  struct sKept {
    CTxtChannel* channel;
    bool kept = false;
    ~sKept() {
      if (kept) {
        ++channel->m_Thread_Registrations;
      } else {
        channel->Release(kThread_Cost);
      }
    }
  } outcome{this};
  sThreadRecord* added = new (std::nothrow) sThreadRecord();
  if (!added) return;
  added->thread_id = start.thread_id;
  added->start = start.timer;
  added->stop = ~0ull;
  memcpy(added->name, start.name, sizeof(added->name));
  added->name[sizeof(added->name) - 1] = '\0';
  added->length = strlen(added->name);

  sRbThread* head = m_Threads.Find(start.thread_id);
  if (!head) {
    sRbThread* element = new (std::nothrow) sRbThread{added, nullptr};
    if (!element || !m_Threads.Push(element, start.thread_id)) {
      delete element;
      delete added;
      return;
    }
    outcome.kept = true;
    return;
  }
  // Newest start first: find the first registration that started before the new one.
  sRbThread* previous = nullptr;
  sRbThread* current = head;
  while (current && current->record->start >= added->start) {
    if (current->record->start == added->start) {  // the same registration again
      delete added;
      return;
    }
    previous = current;
    current = current->next;
  }
  if (!current) {  // older than every known registration
    delete added;
    return;
  }
  if (current->record->stop == ~0ull) current->record->stop = added->start - 1;
  sRbThread* element = new (std::nothrow) sRbThread{added, current};
  if (!element) {
    delete added;
    return;
  }
  outcome.kept = true;
  if (previous) {
    previous->next = element;
  } else {
    // The tree holds the head element: swap contents so that the head stays in place.
    element->record = head->record;
    element->next = head->next;
    head->record = added;
    head->next = element;
  }
}

void CTxtChannel::Thread_Stop(const uint8_t* record, uint32_t size) {
  if (size < sizeof(sTRTrace_Thread_Stop)) return;
  sTRTrace_Thread_Stop stop;
  memcpy(&stop, record, sizeof(stop));
  sRbThread* head = m_Threads.Find(stop.thread_id);
  if (head) head->record->stop = stop.timer;
}

CTraceDescriptor* CTxtChannel::Get_Format(uint32_t id) {
  if (id >= m_Formats.Count()) return nullptr;
  return m_Formats.Get_Data(m_Formats.Get_ByIndex(id));
}

sTRTraceMod* CTxtChannel::Get_Module(uint32_t id) {
  if (id >= m_Modules.Count()) return nullptr;
  return m_Modules.Get_Data(m_Modules.Get_ByIndex(id));
}

const sThreadRecord* CTxtChannel::Find_Thread(uint32_t thread_id, uint64_t timer) {
  for (sRbThread* element = m_Threads.Find(thread_id); element; element = element->next) {
    if (element->record->start <= timer && timer <= element->record->stop) return element->record;
  }
  return nullptr;
}

uint64_t CTxtChannel::Format_Message(CTraceDescriptor* desc, const uint8_t* values,
                                     uint32_t values_size) {
  if (!m_Message) return 0;
  for (;;) {
    int32_t n = desc->Formatter()->Format(m_Message, static_cast<uint32_t>(m_MessageCapacity),
                                          values, values_size);
    if (n >= 0 && static_cast<uint64_t>(n) + 1 < m_MessageCapacity) {
      if (static_cast<uint64_t>(n) > m_MaxText) return Cut_Message();
      return static_cast<uint64_t>(n);
    }
    if (desc->Formatter()->Unrenderable()) break;
    const uint64_t most = m_MaxText + kMessage_Margin;
    if (m_MessageCapacity >= most) return Cut_Message();
    uint64_t capacity = m_MessageCapacity * 2;
    if (capacity > most) capacity = most;
    if (!Charge(capacity - m_MessageCapacity)) break;
    char* bigger = static_cast<char*>(malloc(capacity));
    if (!bigger) {
      Release(capacity - m_MessageCapacity);
      break;
    }
    free(m_Message);
    m_Message = bigger;
    m_MessageCapacity = capacity;
  }
  m_Message[0] = '\0';
  return 0;
}

uint64_t CTxtChannel::Cut_Message() {
  uint64_t length = strnlen(m_Message, m_MessageCapacity - 1);
  if (length > m_MaxText) length = m_MaxText;
  // Never end inside a UTF-8 sequence: step back over continuation bytes to a lead byte, and
  // drop that lead byte too when its sequence would not be complete.
  uint64_t start = length;
  while (start > 0 && (static_cast<uint8_t>(m_Message[start - 1]) & 0xC0) == 0x80) --start;
  if (start > 0) {
    const uint8_t lead = static_cast<uint8_t>(m_Message[start - 1]);
    const uint64_t needed = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    if (length - (start - 1) < needed) length = start - 1;
  }
  memcpy(m_Message + length, kCut_Mark, sizeof(kCut_Mark));
  return length + sizeof(kCut_Mark) - 1;
}

uint64_t CTxtChannel::Since_Start(uint64_t timer) const {
  if (m_TimerFrequency == 0) return 0;
  double ticks = static_cast<double>(static_cast<int64_t>(timer - m_TimerValue));
  double units = ticks * 10000000.0 / static_cast<double>(m_TimerFrequency);
  if (!(units > 0)) return 0;
  if (units >= 18446744073709551615.0) return ~0ull;
  return static_cast<uint64_t>(units);
}
