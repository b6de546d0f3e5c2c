#include <mqtt-wrapper/TR.h>

// Placeholder until the crash registry lands: nothing is registered, so there is nothing to flush.
extern "C" {
MQW_EXPORT void TR_Set_Crash_Handler() {}
MQW_EXPORT void TR_Clr_Crash_Handler() {}
MQW_EXPORT void TR_Exceptional_Flush() {}
MQW_EXPORT void TR_Flush() {}
}
