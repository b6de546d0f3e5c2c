// CAnswer_Feed: an HTTP answer produced bit by bit (an event stream, an export) for one
// connection of the viewer's HTTP library. The library's reader takes what is pending; when
// nothing is, the connection is suspended, so that no thread waits for it, until a producer or
// the server's timer wakes it.
//
// Invariants: the connection is suspended exactly while m_Suspended is true; only the reader (on
// the polling thread) suspends it, with the lock held, and only Wake resumes it, after clearing
// the flag under the lock, so it is never resumed twice or resumed while running. A suspended
// connection cannot close, so the connection is alive whenever Wake resumes it.
//
// Ownership: shared by the library's response (through the reader's closure) and the producers;
// Release marks the moment the library let go of the answer.
// Thread-safety: Read on the library's polling thread; everything else from any thread.
#ifndef TOOLS_TRACE_SERVER_HTTP_ANSWER_FEED_H_
#define TOOLS_TRACE_SERVER_HTTP_ANSWER_FEED_H_

#include <stddef.h>
#include <sys/types.h>

#include <functional>
#include <string>

#include "trace/base/lock.h"
#include "trace/base/thread_annotations.h"

struct MHD_Connection;

class CAnswer_Feed {
 public:
  // Called on the polling thread, lock held, when everything pending was sent: appends to `out`;
  // false once the answer is complete. Without one, a producer thread Pushes instead.
  using tProduce = std::function<bool(std::string* out)>;

  CAnswer_Feed(MHD_Connection* connection, tProduce produce, bool is_stream)
      : m_Connection(connection), m_Produce(std::move(produce)), m_Is_Stream(is_stream) {}

  CAnswer_Feed(const CAnswer_Feed&) = delete;
  CAnswer_Feed& operator=(const CAnswer_Feed&) = delete;

  bool Is_Stream() const { return m_Is_Stream; }

  // The library's reader: up to `max` bytes into `buffer`; 0 after suspending the connection
  // when nothing is ready; -1 (end of stream) once done or when `stopping`.
  ssize_t Read(char* buffer, size_t max, bool stopping) TR_EXCLUDES(m_Lock);
  // Resumes the connection when it waits.
  void Wake() TR_EXCLUDES(m_Lock);
  // Appends a producer's text and wakes the connection; false once the answer was let go.
  bool Push(const std::string& text) TR_EXCLUDES(m_Lock);
  // Nothing more will come.
  void Finish() TR_EXCLUDES(m_Lock);
  // Bytes pushed and not yet sent (0 once let go): a producer waits while this is large.
  size_t Backlog() TR_EXCLUDES(m_Lock);
  // The library let go of the answer (sent whole, or the connection closed).
  void Release() TR_EXCLUDES(m_Lock);
  bool Released() TR_EXCLUDES(m_Lock);

 private:
  CLock m_Lock;
  MHD_Connection* const m_Connection;
  const tProduce m_Produce;
  const bool m_Is_Stream;
  std::string m_Pending TR_GUARDED_BY(m_Lock);
  size_t m_Offset TR_GUARDED_BY(m_Lock) = 0;
  bool m_Done TR_GUARDED_BY(m_Lock) = false;
  bool m_Suspended TR_GUARDED_BY(m_Lock) = false;
  bool m_Released TR_GUARDED_BY(m_Lock) = false;
};

#endif  // TOOLS_TRACE_SERVER_HTTP_ANSWER_FEED_H_
