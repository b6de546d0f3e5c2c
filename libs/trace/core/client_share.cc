#include "trace/core/client.h"

// Placeholder until the shared registry lands: a client cannot be shared, so there is nothing to
// remove.
bool CClient::Share(const char*) { return false; }

bool CClient::Unshare() { return true; }
