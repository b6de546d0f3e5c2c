// TR trace engine: public interface.
//
// A client (ITR_Client) owns one sink (null, binary file, text) and carries the data of up to 32
// channels. A trace channel (ITR_Trace) turns printf-style trace calls into compact binary
// records and hands them to its client. Objects are reference counted: whoever receives one from
// a factory or a lookup (TR_Create_Client, TR_Create_Trace, TR_Get_Shared, TR_Get_Shared_Trace,
// ITR_Client::Get_Channel) owns one reference and must Release() it.
//
// Error model: nothing here throws. Operations return bool or an eClient_Code; factories return
// null and leave a reason for the calling thread, fetched once with TR_Last_Error().
//
// Thread-safety: every operation of a client and of a channel may be called from any thread.
#ifndef MQTT_WRAPPER_TR_H_
#define MQTT_WRAPPER_TR_H_

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#include <mqtt-wrapper/export.h>

// Trace levels; 32-bit on the wire and in the interfaces.
enum eTRTrace_Level : uint32_t {
  TRL_TRACE = 0,
  TRL_DEBUG = 1,
  TRL_INFO = 2,
  TRL_WARNING = 3,
  TRL_ERROR = 4,
  TRL_CRITICAL = 5,
};

// Status codes of the client operations (Register_Channel, Unregister_Channel, Sent, Get_Status).
enum eClient_Code : uint32_t {
  eCode_Ok = 0,        // success / client healthy
  eCode_Off = 1,       // the sink is not delivering now (not connected, or closed); data refused
  eCode_No_Slot = 2,   // all 32 channel slots taken, or sink resources could not be set up
  eCode_No_Room = 4,   // the sink's buffers cannot take the data now; data refused
  eCode_Internal = 5,  // internal failure during a sink's initialisation
  eCode_Bad_Args = 6,  // wrong arguments
};

// Connection status of a sink (8 bytes).
struct sTRC_Status {
  int32_t connected;  // nonzero while the sink delivers data
  uint32_t resets;    // grows each time the sink re-establishes its output after a loss
};

// Buffer and reject counters of a sink (six uint32).
struct sTRC_Info {
  uint32_t used_bytes;
  uint32_t free_bytes;
  uint32_t allocated_bytes;
  uint32_t rejects_no_room;
  uint32_t rejects_off;
  uint32_t rejects_error;
};

// One piece of a Sent() call. Packed: a 64-bit pointer directly followed by the 32-bit size.
#pragma pack(push, 1)
struct sTRC_Data_Chunk {
  const void* data;
  uint32_t size;
};
#pragma pack(pop)

// What a client tells a channel at registration: its slot number.
struct sTRC_Channel_Info {
  uint32_t id;
};

// The 4-byte little-endian word that frames one Sent() call in a sink's byte stream:
// bits 0..26 the packet length including these 4 bytes, bits 27..31 the channel ID.
struct sTRC_User_Header {
  uint32_t value;

  static constexpr uint32_t kMaxLength = 0x7FFFFFF;
  static constexpr uint32_t Make(uint32_t length, uint32_t channel) {
    return (length & kMaxLength) | (channel << 27);
  }
  constexpr uint32_t Length() const { return value & kMaxLength; }
  constexpr uint32_t Channel() const { return value >> 27; }
};

// What a client calls on a registered channel. Channels are released through Release(), never
// deleted through this interface.
class ITRC_Channel {
 public:
  virtual uint32_t Get_Type() = 0;
  virtual uint32_t Add_Ref() = 0;
  virtual uint32_t Release() = 0;
  // Tells the channel its slot ID.
  virtual void On_Init(sTRC_Channel_Info* info) = 0;
  // Data from the far end (network sink only); `swap` nonzero: the peer's byte order differs.
  virtual void On_Receive(uint32_t id, uint8_t* data, uint32_t size, uint32_t swap) = 0;
  // The sink's connection status changed (also called once at registration).
  virtual void On_Status(uint32_t id, const sTRC_Status* status) = 0;
  // Final flush: the channel hands over everything it holds now.
  virtual void On_Flush(uint32_t id, uint32_t* flag) = 0;

 protected:
  ~ITRC_Channel() = default;
};

// Creation settings of a trace channel (copied by the channel).
struct stTrace_Conf {
  void* context;                         // passed back to every callback
  uint64_t timer_frequency;              // ticks per second of get_timer; 0 = built-in 100-ns timer
  uint64_t (*get_timer)(void* context);  // set exactly when timer_frequency is nonzero
  void (*on_verbosity)(void* context, void* module, uint32_t level);  // after a server change
  void (*on_connect)(void* context, uint32_t connected);              // after every status change
};

// A trace channel. A module handle (void*) is what Register_Module returned; null = no module.
class ITR_Trace : public ITRC_Channel {
 public:
  virtual void Set_Verbosity(void* module, eTRTrace_Level level) = 0;
  virtual eTRTrace_Level Get_Verbosity(void* module) = 0;
  virtual bool Register_Thread(const char* name, uint32_t thread_id) = 0;
  virtual bool Unregister_Thread(uint32_t thread_id) = 0;
  virtual bool Register_Module(const char* name, void** module) = 0;
  virtual bool Share(const char* name) = 0;
  // `id` 1..1023 is a fixed call-site ID chosen by the caller; 0 lets the channel assign one.
  virtual bool Trace(uint16_t id, eTRTrace_Level level, void* module, uint16_t line,
                     const char* file, const char* function, const char* format, ...)
      __attribute__((format(printf, 8, 9))) = 0;
  // Obsolete form without arguments: does nothing and returns false.
  virtual bool Trace_Embedded(uint16_t id, eTRTrace_Level level, void* module, uint16_t line,
                              const char* file, const char* function, const char** format) = 0;
  virtual bool Trace_Embedded(uint16_t id, eTRTrace_Level level, void* module, uint16_t line,
                              const char* file, const char* function, const char** format,
                              va_list* args) = 0;
  // An already formatted message.
  virtual bool Trace_Managed(uint16_t id, eTRTrace_Level level, void* module, uint16_t line,
                             const char* file, const char* function, const char* message) = 0;
  virtual ~ITR_Trace() = default;
};

// A client: one sink and up to 32 channels.
class ITR_Client {
 public:
  enum eType : uint32_t {
    eNetwork = 0,
    eFileBin = 1,
    eNull = 3,
    eText = 4,
  };

  virtual eType Get_Type() = 0;
  virtual uint32_t Add_Ref() = 0;
  virtual uint32_t Release() = 0;
  virtual uint32_t Get_Status() = 0;
  virtual bool Get_Status(sTRC_Status* status) = 0;
  virtual bool Get_Info(sTRC_Info* info) = 0;
  virtual uint32_t Register_Channel(ITRC_Channel* channel) = 0;
  virtual uint32_t Unregister_Channel(uint32_t id) = 0;
  // Takes all `count` chunks (`size` bytes in all) or none; the bytes are copied before return.
  virtual uint32_t Sent(uint32_t id, sTRC_Data_Chunk* chunks, uint32_t count, uint32_t size) = 0;
  virtual bool Share(const char* name) = 0;
  // Text after `prefix` in the first option that begins with it, or null.
  virtual const char* Get_Argument(const char* prefix) = 0;
  virtual uint32_t Get_Channels_Count() = 0;
  // The index-th registered channel with an added reference, or null.
  virtual ITRC_Channel* Get_Channel(size_t index) = 0;
  virtual void Flush() = 0;
  virtual ~ITR_Client() = default;
  virtual bool Unshare() = 0;
  virtual bool Close() = 0;
};

extern "C" {
// Creates a client from "/TR." options in `args` (may be null) and on the process command line
// (the command line wins). Returns null when disabled (/TR.On=0) or when the sink failed.
MQW_EXPORT ITR_Client* TR_Create_Client(const char* args);
// Creates a trace channel on `client`; `conf` may be null.
MQW_EXPORT ITR_Trace* TR_Create_Trace(ITR_Client* client, const char* name,
                                      const stTrace_Conf* conf);
// The calling thread's last error code (0 = none), reset to 0 by the call.
MQW_EXPORT uint32_t TR_Last_Error();
// Crash handling: closes every registered client when the process dies on a fatal signal.
MQW_EXPORT void TR_Set_Crash_Handler();
MQW_EXPORT void TR_Clr_Crash_Handler();
MQW_EXPORT void TR_Exceptional_Flush();
MQW_EXPORT void TR_Flush();
// Lookups of objects shared by name in this process; the caller owns one reference.
MQW_EXPORT ITR_Client* TR_Get_Shared(const char* name);
MQW_EXPORT ITR_Trace* TR_Get_Shared_Trace(const char* name);
}

#endif  // MQTT_WRAPPER_TR_H_
