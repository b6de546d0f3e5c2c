#include "trace/format/file_header.h"

#include <string.h>
#include <unistd.h>

#include "trace/base/proc.h"
#include "trace/base/utf.h"

void Build_File_Header(const char* client_name, sTRD_File_Header* header) {
  memset(header, 0, sizeof(*header));
  header->magic = kTRD_Magic;
  header->process_id = static_cast<uint32_t>(getpid());
  uint32_t high = 0, low = 0;
  if (!CProc::Get_Process_Time(&high, &low)) high = low = 0;
  header->start_hi = high;
  header->start_lo = low;

  char path[4096];
  const char* name = client_name;
  if (name == nullptr) {
    ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (n > 0) {
      path[n] = '\0';
      name = path;
      for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\') name = p + 1;
      }
    } else {
      name = "Unknown";
    }
  }
  Convert_UTF8_To_UTF16(name, header->client_name, kTRD_Name_Units);

  char host[256];
  if (gethostname(host, sizeof(host)) != 0) {
    strcpy(host, "Unknown:Error");
  }
  host[sizeof(host) - 1] = '\0';
  Convert_UTF8_To_UTF16(host, header->host_name, kTRD_Name_Units);
}
