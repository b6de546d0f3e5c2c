// Building the server's reply datagrams (acknowledgements and window reports) in host byte
// order, finalized with their CRC. transport_format.h gives the layouts.
//
// Thread-safety: no shared state.
#ifndef TRACE_SERVER_REPLY_BUILDER_H_
#define TRACE_SERVER_REPLY_BUILDER_H_

#include <stdint.h>

#include <vector>

// An acknowledgement (packet `reply_id`, client `client_id`) of the client packet `acked_id`
// with `result`. A nonzero `capacity` adds the extension that tells the client how many bytes
// the server holds for it (extension type 0, byte count at record offset 12).
std::vector<uint8_t> TRS_Make_Ack(uint32_t reply_id, uint16_t client_id, uint32_t acked_id, uint16_t result,
                                  uint32_t capacity);

// A window report answering the data window packet `window_id`, with the loss bitmap `lost`
// (bit i set: the packet at distance i from the window's first ID is missing).
std::vector<uint8_t> TRS_Make_Report(uint32_t reply_id, uint16_t client_id, uint32_t window_id,
                                     const std::vector<uint8_t>& lost);

#endif  // TRACE_SERVER_REPLY_BUILDER_H_
