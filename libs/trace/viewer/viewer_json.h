// The JSON the viewer's API answers with, one function per shape, so that the HTTP layer and its
// tests agree on the field names. Strings are written as JSON strings (nlohmann escapes them);
// invalid UTF-8 in a trace is replaced, never refused, because traces carry whatever the host
// wrote.
//
// Shapes:
//   message   {"seq","time_us","time","host","channel","level","level_name","thread_id","thread",
//              "module","file","line","function","text"}
//   host      {"name","client","address","pid","connected","records","messages","lost","resent",
//              "rate","channels":[{"id","name","modules":[{"id","name"}],"modules_omitted"}]}
//              within sHost_Bounds whatever the row holds: at most 32 channels, 256 modules per
//              channel (modules_omitted counts the rest), names cut to 128 bytes
//   problem   {"file","error"}
//   timeline  {"start_us","width_us","buckets":[[trace,debug,info,warning,error,critical],...]}
//
// Thread-safety: pure functions.
#ifndef TRACE_VIEWER_VIEWER_JSON_H_
#define TRACE_VIEWER_VIEWER_JSON_H_

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "trace/viewer/name_census.h"
#include "trace/viewer/stored_query.h"
#include "trace/viewer/timeline.h"
#include "trace/viewer/viewer_hub.h"
#include "trace/viewer/viewer_message.h"

nlohmann::json Viewer_Json(const sViewer_Message& message);
nlohmann::json Viewer_Json(const sHost_Status& host);
nlohmann::json Viewer_Json(const std::vector<CStored_Query::sProblem>& problems);
nlohmann::json Viewer_Json(const CTimeline::sBuckets& buckets);
nlohmann::json Viewer_Json(const std::vector<CServed_Directory::sSource>& sources);
// {"hosts":[names],"channels":[...],"modules":[...],"threads":[...],"omitted":N}
nlohmann::json Viewer_Json(const CName_Census& census);

// The JSON text of `value` with invalid UTF-8 replaced by U+FFFD.
std::string Viewer_Dump(const nlohmann::json& value);

#endif  // TRACE_VIEWER_VIEWER_JSON_H_
