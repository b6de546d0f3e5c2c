#include <mqtt-wrapper/TR.h>

// Placeholder until the shared registry lands: no object is ever shared.
extern "C" {
MQW_EXPORT ITR_Client* TR_Get_Shared(const char*) { return nullptr; }
MQW_EXPORT ITR_Trace* TR_Get_Shared_Trace(const char*) { return nullptr; }
}
