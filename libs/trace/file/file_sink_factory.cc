#include <new>

#include "trace/core/sink_factories.h"
#include "trace/file/cl_file.h"

ITR_Client* New_File_Sink(char** args, int count) {
  return new (std::nothrow) CClFile(args, count);
}
