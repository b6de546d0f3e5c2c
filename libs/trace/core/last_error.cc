// Per-thread last-error records: one {thread ID, code} record per kernel thread that ever had
// an error, in a red-black tree keyed by thread ID, under one process-wide recursive lock.
// The error lock is a leaf of the engine's lock order (client.h): nothing else is taken under it.
#include "trace/core/last_error.h"

#include <new>

#include "trace/base/lock.h"
#include "trace/base/proc.h"
#include "trace/base/rb_tree.h"
#include "trace/base/thread_annotations.h"

namespace {

struct stTR_Error_Thread {
  uint32_t thread_id;  // kernel thread ID
  uint32_t code;       // 0 = none
};

class CTreeThreadErrors : public CRBTree<stTR_Error_Thread*, unsigned int> {
 public:
  CTreeThreadErrors() : CRBTree(128) {}

 protected:
  bool Is_Key_Less(unsigned int key, stTR_Error_Thread* element) override {
    return key < element->thread_id;
  }
  bool Is_Qual(unsigned int key, stTR_Error_Thread* element) override {
    return key == element->thread_id;
  }
};

// Both objects are created on first use (also from other static initialisers) and never
// destroyed, so threads and exit handlers that run after static destruction still find them.
struct sErrorState {
  CLock lock;
  CTreeThreadErrors tree TR_GUARDED_BY(lock);
};

sErrorState& State() {
  static sErrorState* state = new sErrorState();
  return *state;
}

// Built during the library's static initialisation, before the program's own code runs.
[[maybe_unused]] const bool g_StateBuilt = (State(), true);

// Clears the calling thread's code when the thread ends: the kernel reuses thread IDs, and a
// later thread that gets the same ID must not fetch an error it never had.
struct sThreadExitReset {
  bool armed = false;
  ~sThreadExitReset() {
    if (!armed) return;
    sErrorState& state = State();
    CLockGuard guard(&state.lock);
    if (stTR_Error_Thread* record = state.tree.Find(CProc::Get_Thread_ID())) record->code = 0;
  }
};

thread_local sThreadExitReset t_ExitReset;

}  // namespace

void TR_Set_Last_Error(uint32_t code) {
  uint32_t thread_id = CProc::Get_Thread_ID();
  sErrorState& state = State();
  {
    CLockGuard guard(&state.lock);
    stTR_Error_Thread* record = state.tree.Find(thread_id);
    if (record) {
      record->code = code;
    } else {
      record = new (std::nothrow) stTR_Error_Thread{thread_id, code};
      if (!record) return;
      if (state.tree.Push(record, thread_id) != record) {
        delete record;
        return;
      }
    }
  }
  t_ExitReset.armed = true;
}

extern "C" MQW_EXPORT uint32_t TR_Last_Error() {
  uint32_t thread_id = CProc::Get_Thread_ID();
  sErrorState& state = State();
  CLockGuard guard(&state.lock);
  stTR_Error_Thread* record = state.tree.Find(thread_id);
  if (!record) return 0;
  uint32_t code = record->code;
  record->code = 0;
  return code;
}
