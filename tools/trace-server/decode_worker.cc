#include "decode_worker.h"

CDecode_Worker::CDecode_Worker() {
  m_Events.Init(2, CMEvent::kManualReset, 0);
  m_Thread = std::thread([this] { Run(); });
}

CDecode_Worker::~CDecode_Worker() { Stop(); }

bool CDecode_Worker::Post_Record(const std::shared_ptr<CClient_Decoder>& decoder, uint32_t channel,
                                 const uint8_t* payload, uint32_t size, uint64_t limit) {
  {
    CMutexGuard guard(&m_Mutex);
    const uint64_t share = limit / kMax_Client_Share;
    const uint64_t queued = decoder->Queued_Bytes();
    if (m_Stopping || size > share || m_Queued_Bytes > limit - size || queued > share - size)
      return false;
    m_Queued_Bytes += size;
    decoder->Add_Queued_Bytes(static_cast<int64_t>(size));
  }
  sJob job;
  job.decoder = decoder;
  job.channel = channel;
  job.bytes.assign(payload, payload + size);
  Post(std::move(job));
  return true;
}

void CDecode_Worker::Post_Restart(const std::shared_ptr<CClient_Decoder>& decoder) {
  sJob job;
  job.decoder = decoder;
  job.restart = true;
  Post(std::move(job));
}

void CDecode_Worker::Post(sJob job) {
  {
    CMutexGuard guard(&m_Mutex);
    m_Jobs.push_back(std::move(job));
  }
  m_Events.Set(eEvent_Job);
}

uint64_t CDecode_Worker::Queued_Bytes() const {
  CMutexGuard guard(&m_Mutex);
  return m_Queued_Bytes;
}

void CDecode_Worker::Stop() {
  {
    CMutexGuard guard(&m_Mutex);
    m_Stopping = true;
  }
  m_Events.Set(eEvent_Exit);
  if (m_Thread.joinable()) m_Thread.join();
}

void CDecode_Worker::Run() {
  for (;;) {
    std::deque<sJob> jobs;
    bool stopping;
    {
      CMutexGuard guard(&m_Mutex);
      jobs.swap(m_Jobs);
      stopping = m_Stopping;
    }
    for (sJob& job : jobs) {
      if (job.restart) {
        job.decoder->Restart();
      } else {
        job.decoder->Decode(job.channel, job.bytes.data(), static_cast<uint32_t>(job.bytes.size()));
        CMutexGuard guard(&m_Mutex);
        m_Queued_Bytes -= job.bytes.size();
        job.decoder->Add_Queued_Bytes(-static_cast<int64_t>(job.bytes.size()));
      }
      job.decoder.reset();  // a decoder whose client left goes with its last job
    }
    if (stopping) {
      CMutexGuard guard(&m_Mutex);
      if (m_Jobs.empty()) return;
      continue;
    }
    if (jobs.empty()) m_Events.Wait();
  }
}
