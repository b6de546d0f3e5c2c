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
// the server holds for it (extension type 0, byte count at record offset 12). Nonempty
// `user_data` (whole sTRC_User_Header chunks for the client's channels) travels after the result
// with the user-data flag, or as an extension of type 1 when the capacity extension is present.
// Empty when the packet would exceed 0xFFFF bytes.
std::vector<uint8_t> TRS_Make_Ack(uint32_t reply_id, uint16_t client_id, uint32_t acked_id,
                                  uint16_t result, uint32_t capacity,
                                  const std::vector<uint8_t>& user_data = {});

// Bytes an acknowledgement adds around `user_data` (header, result, and the extension records
// when `capacity` is nonzero).
uint32_t TRS_Ack_Overhead(bool capacity);

// The 10-byte verbosity command for a channel (level, module ID or 0 for the whole channel),
// framed as one user-data chunk for `channel`: 14 bytes.
std::vector<uint8_t> TRS_Make_Verbosity_Command(uint32_t channel, uint32_t level,
                                                uint16_t module_id);

// A window report answering the data window packet `window_id`, with the loss bitmap `lost`
// (bit i set: the packet at distance i from the window's first ID is missing).
std::vector<uint8_t> TRS_Make_Report(uint32_t reply_id, uint16_t client_id, uint32_t window_id,
                                     const std::vector<uint8_t>& lost);

#endif  // TRACE_SERVER_REPLY_BUILDER_H_
