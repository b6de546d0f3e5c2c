// CScan_Pool: a few threads that run the viewer's scans of stored files, so that the HTTP
// library's polling thread never reads a file: a request that scans is suspended, its job runs
// here, and the job resumes the request when its answer is ready. One slow scan therefore delays
// only the scans queued behind it, never /api/info or the event streams.
//
// Jobs are bounded by the HTTP side's connection limit (a suspended connection holds at most one
// job); each job bounds its own time through its scan budget.
//
// Thread-safety: Post from any thread; Stop from the owner's thread, once (the destructor calls
// it). Jobs posted after Stop are run at once on the caller's thread, so that a suspended request
// is still resumed.
#ifndef TOOLS_TRACE_SERVER_HTTP_SCAN_POOL_H_
#define TOOLS_TRACE_SERVER_HTTP_SCAN_POOL_H_

#include <stddef.h>

#include <deque>
#include <functional>
#include <semaphore>
#include <thread>
#include <vector>

#include "trace/base/lock.h"
#include "trace/base/thread_annotations.h"

class CScan_Pool {
 public:
  using tJob = std::function<void()>;

  explicit CScan_Pool(size_t threads);
  ~CScan_Pool() { Stop(); }

  CScan_Pool(const CScan_Pool&) = delete;
  CScan_Pool& operator=(const CScan_Pool&) = delete;

  void Post(tJob job);
  // Runs the jobs already queued, then joins the threads.
  void Stop();

 private:
  void Work();

  CLock m_Lock;
  std::deque<tJob> m_Jobs TR_GUARDED_BY(m_Lock);
  bool m_Stopping TR_GUARDED_BY(m_Lock) = false;
  std::counting_semaphore<> m_Ready{0};  // one release per queued job, and one per thread at Stop
  std::vector<std::thread> m_Threads;
};

#endif  // TOOLS_TRACE_SERVER_HTTP_SCAN_POOL_H_
