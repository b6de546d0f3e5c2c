// CClNull: the sink that drops everything. It accepts every Sent call (status 0), always reports a
// working connection ({1, 0}) and has no buffers, threads or output of its own; it is never put
// in the crash registry.
//
// Thread-safety: as CClient; the sink adds no state of its own besides its reject counters,
// which stay 0.
#ifndef TRACE_CORE_NULL_SINK_H_
#define TRACE_CORE_NULL_SINK_H_

#include "trace/core/client.h"

class CClNull : public CClient {
 public:
  CClNull(char** args, int count);
  ~CClNull() override;

  bool Get_Status(sTRC_Status* status) override;
  using CClient::Get_Status;
  // Reports zero in the three reject counters; the pool fields are left as the caller set them.
  bool Get_Info(sTRC_Info* info) override;
  uint32_t Sent(uint32_t id, sTRC_Data_Chunk* chunks, uint32_t count, uint32_t size) override;
  void Flush() override;
  bool Close() override;
};

#endif  // TRACE_CORE_NULL_SINK_H_
