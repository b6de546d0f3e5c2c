#include "trace/core/sink_factories.h"

// The binary file sink is not available in this build yet.
ITR_Client* New_File_Sink(char**, int) { return nullptr; }
