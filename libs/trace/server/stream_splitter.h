// CTRS_Stream_Splitter: cuts a client's rebuilt user-data stream (the bodies of its data packets
// in ID order) back into the records that its channels handed over: each an sTRC_User_Header
// (bits 0-26 length including the 4-byte header, bits 27-31 channel ID) followed by its payload.
// A record may span any number of data packets; a header never spans two.
//
// Memory: a record is gathered only while it spans packets, and one longer than
// `max_record` bytes (header included; the network sink never makes one above 0x20000) or
// shorter than its header marks the stream broken: nothing more is split until Reset, which the
// owner calls when the client restarts.
//
// Thread-safety: none; one owner.
#ifndef TRACE_SERVER_STREAM_SPLITTER_H_
#define TRACE_SERVER_STREAM_SPLITTER_H_

#include <stdint.h>

#include <functional>
#include <vector>

class CTRS_Stream_Splitter {
 public:
  static constexpr uint32_t kDefault_Max_Record = 0x20000;

  // Called once per complete record with its channel and payload (header excluded); the bytes
  // are valid during the call only.
  using tOn_Record = std::function<void(uint32_t channel, const uint8_t* payload, uint32_t size)>;

  explicit CTRS_Stream_Splitter(tOn_Record on_record, uint32_t max_record = kDefault_Max_Record);

  // The body of the next data packet. False once the stream is broken.
  bool Feed(const uint8_t* bytes, uint32_t size);
  // Forgets a partly gathered record and a broken state (the client started over).
  void Reset();

  bool Is_Broken() const { return m_Broken; }
  // Bytes of the record being gathered.
  uint32_t Pending_Bytes() const { return static_cast<uint32_t>(m_Partial.size()); }

 private:
  tOn_Record m_OnRecord;
  uint32_t m_MaxRecord;
  std::vector<uint8_t> m_Partial;  // header and the payload bytes seen so far
  uint32_t m_PartialLength = 0;    // the gathered record's length from its header
  bool m_Broken = false;
};

#endif  // TRACE_SERVER_STREAM_SPLITTER_H_
