// CBuffers_Pool: the network sink's store of packet objects (CTPacket) whose buffers all have
// one fixed packet size.
//
// Memory: packets are cut from blocks of about a tenth of the memory limit; a block is allocated
// only when no packet is free and the bytes allocated so far are below the limit, and blocks go
// back to the heap only when the pool dies. Each slot holds the packet object (40 bytes) in
// front of its buffer, so handing out or taking back a packet allocates nothing. A fresh block's
// buffers are zeroed; a reused packet keeps the bytes it held when it was returned.
//
// Sizing (limit M, packet size P): slot = P + 40; step = (M / 10 / slot + 1) x slot, a whole
// number of slots and at least one; maximal buffers = M / slot. Because a block may start while
// the allocated bytes are just below M, up to one block more than the limit may be cut.
//
// Ownership: the pool owns every block and every packet object in them; a packet handed out by
// Pull_Buffer stays the pool's and must come back through Push_Buffer before the pool dies (the
// destructor reports the missing ones and frees the memory anyway). The journal reference is
// held until destruction.
//
// Thread-safety: every operation takes the pool's recursive mutex, the innermost lock of the
// network sink: no other engine lock is taken while it is held (the journal's lock is a leaf).
#ifndef TRACE_NET_BUFFERS_POOL_H_
#define TRACE_NET_BUFFERS_POOL_H_

#include <stdint.h>

#include <atomic>

#include "trace/base/blist.h"
#include "trace/base/hot_lock.h"
#include "trace/base/list_pool.h"
#include "trace/base/lock.h"
#include "trace/base/thread_annotations.h"
#include "trace/net/tpacket.h"

class IJournal;

// A consistent picture of the pool's counters (taken under its mutex).
struct sBuffers_Pool_State {
  uint32_t allocated_bytes;
  uint32_t created_buffers;
  uint32_t maximal_buffers;
  uint32_t taken_buffers;
  uint32_t packet_size;
};

class CBuffers_Pool {
 public:
  // Bytes in front of every buffer that hold its packet object.
  static constexpr uint32_t kObject_Bytes = 40;
  static constexpr uint32_t kList_Segment = 128;

  // The sizing of a pool of limit `limit` and packet size `packet_size` (file comment); all 0
  // for a packet size outside 1 .. 65535.
  struct sSizing {
    uint32_t slot_size;
    uint32_t step;
    uint32_t maximal_buffers;
  };
  static sSizing Plan(uint32_t limit, uint32_t packet_size);

  // An empty pool. `journal` may be null (a reference is taken otherwise). It is initialised
  // when the packet size is 1 .. 65535 (a packet's size field is 16-bit) and the limit holds at
  // least one slot.
  CBuffers_Pool(uint32_t limit, uint32_t packet_size, IJournal* journal);
  ~CBuffers_Pool();

  CBuffers_Pool(const CBuffers_Pool&) = delete;
  CBuffers_Pool& operator=(const CBuffers_Pool&) = delete;

  bool Is_Initialized() const { return m_Initialized; }

  // A free packet (buffer of Packet_Size() bytes, object owned by the pool), or null when none
  // is free and the memory limit is reached (logged) or memory runs out.
  CTPacket* Pull_Buffer();
  // Gives a packet of this pool back. A null packet, or one while nothing is taken, is logged as
  // "Wrong parameters." and ignored.
  void Push_Buffer(CTPacket* packet);

  sBuffers_Pool_State Get_State();
  // Packets that may still be taken (maximal minus taken), read without the pool's lock: a
  // snapshot that another thread may change at once, for checks that tolerate that.
  uint32_t Free_Buffers_Seen() const {
    const uint32_t taken = m_TakenSeen.load(std::memory_order_relaxed);
    return m_MaximalBuffers > taken ? m_MaximalBuffers - taken : 0;
  }
  uint32_t Packet_Size() const { return m_PacketSize; }
  uint32_t Memory_Limit() const { return m_Limit; }
  uint32_t Step() const { return m_Step; }
  uint32_t Slot_Size() const { return m_SlotSize; }
  uint32_t Allocated_Bytes() const { return m_Allocated.load(std::memory_order_relaxed); }

  // Fault injection: after `pulls` more packets have been handed out, the next Pull_Buffer fails
  // once as if memory had run out, while the free count that room estimates read stays as it
  // was (the situation of a concurrent taker winning the last packet). kNo_Failure disarms it.
  static constexpr uint32_t kNo_Failure = UINT32_MAX;
  void Fail_Pull_After(uint32_t pulls);

  // Holders that must not outlive the pool; a count above 0 at destruction is reported.
  int32_t Add_Ref();
  int32_t Release();

 private:
  // Blocks of raw memory, freed with delete[] when released.
  class CBlock_List : public CListPool<uint8_t*> {
   protected:
    bool Data_Release(uint8_t* block) override {
      delete[] block;
      return block != nullptr;
    }
  };

  // Cuts one more block into free packets, or logs the limit message when the limit is reached.
  bool Allocate() TR_REQUIRES(m_Lock);

  // Fixed once constructed.
  uint32_t m_Limit;
  uint32_t m_Step;
  uint32_t m_SlotSize;    // P + 40: the unit of all sizing arithmetic
  uint32_t m_SlotStride;  // m_SlotSize rounded up to 8 bytes: where the slots lie in a block
  uint32_t m_SlotsPerBlock;
  uint32_t m_MaximalBuffers;
  uint32_t m_PacketSize;
  uint32_t m_PoolID = 0;
  bool m_Initialized = false;
  IJournal* m_Journal;  // one reference held; may be null

  // Written under m_Lock, readable without it.
  std::atomic<uint32_t> m_Allocated{0};

  CHot_Lock m_Lock;
  int32_t m_RefCount TR_GUARDED_BY(m_Lock) = 0;
  CBList<CTPacket*> m_Free TR_GUARDED_BY(m_Lock);  // never released through the list
  uint32_t m_Created TR_GUARDED_BY(m_Lock) = 0;
  uint32_t m_Taken TR_GUARDED_BY(m_Lock) = 0;
  uint32_t m_PullsBeforeFailure TR_GUARDED_BY(m_Lock) = kNo_Failure;
  std::atomic<uint32_t> m_TakenSeen{0};  // m_Taken as last written under m_Lock
  CBlock_List m_Blocks TR_GUARDED_BY(m_Lock);
};

#endif  // TRACE_NET_BUFFERS_POOL_H_
