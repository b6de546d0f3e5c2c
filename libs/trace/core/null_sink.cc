#include "trace/core/null_sink.h"

CClNull::CClNull(char** args, int count) : CClient(eNull, args, count) {}

// The null sink never enters the crash registry, so it only has to leave the shared registry.
CClNull::~CClNull() { Unshare(); }

bool CClNull::Get_Status(sTRC_Status* status) {
  if (status == nullptr) return false;
  status->connected = 1;
  status->resets = 0;
  return true;
}

bool CClNull::Get_Info(sTRC_Info* info) {
  if (info == nullptr) return false;
  info->rejects_no_room = 0;
  info->rejects_off = 0;
  info->rejects_error = 0;
  return true;
}

uint32_t CClNull::Sent(uint32_t, sTRC_Data_Chunk*, uint32_t, uint32_t) { return eCode_Ok; }

void CClNull::Flush() {}

bool CClNull::Close() { return true; }
