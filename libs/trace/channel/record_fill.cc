#include "trace/channel/record_fill.h"

#include <pthread.h>

__thread uint32_t t_Thread_ID = 0;

namespace {

// A forked child's thread has a new kernel ID: the value cached by the thread that forked goes.
void Forget_Thread_ID() { t_Thread_ID = 0; }

[[maybe_unused]] const int kAtFork_Registered = pthread_atfork(nullptr, nullptr, Forget_Thread_ID);

}  // namespace
