#include <new>

#include "trace/core/sink_factories.h"
#include "trace/text/cl_text.h"

ITR_Client* New_Text_Sink(char** args, int count) {
  return new (std::nothrow) CClText(args, count);
}
