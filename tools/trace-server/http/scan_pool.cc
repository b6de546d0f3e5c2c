#include "scan_pool.h"

CScan_Pool::CScan_Pool(size_t threads) {
  for (size_t i = 0; i < threads; ++i) m_Threads.emplace_back([this] { Work(); });
}

void CScan_Pool::Post(tJob job) {
  {
    CLockGuard guard(&m_Lock);
    if (!m_Stopping) {
      m_Jobs.push_back(std::move(job));
      m_Ready.release();
      return;
    }
  }
  job();
}

void CScan_Pool::Stop() {
  {
    CLockGuard guard(&m_Lock);
    if (m_Stopping) return;
    m_Stopping = true;
  }
  m_Ready.release(static_cast<std::ptrdiff_t>(m_Threads.size()));
  for (std::thread& thread : m_Threads) thread.join();
  m_Threads.clear();
}

void CScan_Pool::Work() {
  for (;;) {
    m_Ready.acquire();
    tJob job;
    {
      CLockGuard guard(&m_Lock);
      if (m_Jobs.empty()) {
        if (m_Stopping) return;
        continue;
      }
      job = std::move(m_Jobs.front());
      m_Jobs.pop_front();
    }
    job();
  }
}
