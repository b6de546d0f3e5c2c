// The result codes of the stream reader's parsing steps (Parse_Buffer, Parse_Packet,
// ParseFormat). The failure value is 2, the client code for "no slot or resources", because the
// text sink hands it on as its own status.
#ifndef TRACE_DECODE_DECODE_RESULT_H_
#define TRACE_DECODE_DECODE_RESULT_H_

#include <stdint.h>

enum eDecode_Result : uint32_t {
  eDecode_Ok = 0,
  eDecode_Failed = 2,  // a damaged stream, an unusable template or a failed allocation
};

#endif  // TRACE_DECODE_DECODE_RESULT_H_
