// CMessage_Collector: the output of a stream reader (CStreamParser, CTrace_File_Reader) that turns
// every rendered message into an sViewer_Message and hands it to a callback. One message object
// is reused for every call, so collecting allocates only while its strings grow.
//
// Ownership: the callback is owned; the message handed to it is valid during the call only.
// Thread-safety: none; the reader's thread.
#ifndef TRACE_VIEWER_MESSAGE_COLLECTOR_H_
#define TRACE_VIEWER_MESSAGE_COLLECTOR_H_

#include <stdint.h>

#include <functional>
#include <string>

#include <mqtt-wrapper/TRTextSink.h>

#include "trace/viewer/viewer_message.h"

class CMessage_Collector final : public CClTextSink {
 public:
  using tOn_Message = std::function<void(sViewer_Message& message)>;

  CMessage_Collector(std::string host, tOn_Message on_message)
      : m_Host(std::move(host)), m_On_Message(std::move(on_message)) {}

  uint32_t Initialize(char**, int) override { return 0; }
  uint32_t Log(const sLog* log, const char* line, uint64_t length) override {
    Viewer_Message_From_Log(*log, line, length, m_Host, &m_Message);
    m_On_Message(m_Message);
    return 0;
  }
  uint32_t DumpBuffers() override { return 0; }

  void Set_Host(const std::string& host) { m_Host = host; }

 private:
  std::string m_Host;
  tOn_Message m_On_Message;
  sViewer_Message m_Message;
};

#endif  // TRACE_VIEWER_MESSAGE_COLLECTOR_H_
