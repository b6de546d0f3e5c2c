#include "trace/viewer/viewer_json.h"

using nlohmann::json;

json Viewer_Json(const sViewer_Message& message) {
  return json{{"seq", message.sequence},
              {"time_us", message.time_us},
              {"time", Viewer_Local_Time(message.time_us)},
              {"host", message.host},
              {"channel", message.channel},
              {"level", message.level},
              {"level_name", Viewer_Level_Name(message.level)},
              {"thread_id", message.thread_id},
              {"thread", message.thread},
              {"module", message.module},
              {"file", message.file},
              {"line", message.line},
              {"function", message.function},
              {"text", message.text}};
}

namespace {

// A level as the server knows it: 0..5, or null when it is not known.
json Level_Json(uint32_t level) { return level == kUnknown_Level ? json() : json(level); }

}  // namespace

json Viewer_Json(const sHost_Status& unbounded) {
  const sHost_Status host = Bounded_Host_Status(unbounded);
  json channels = json::array();
  for (const sViewer_Channel& channel : host.channels) {
    json modules = json::array();
    for (const sViewer_Module& module : channel.modules)
      modules.push_back(
          {{"id", module.id}, {"name", module.name}, {"level", Level_Json(module.level)}});
    channels.push_back({{"id", channel.id},
                        {"name", channel.name},
                        {"level", Level_Json(channel.level)},
                        {"modules", modules},
                        {"modules_omitted", channel.modules_omitted}});
  }
  return json{{"name", host.name},       {"client", host.client},       {"address", host.address},
              {"pid", host.process_id},  {"connected", host.connected}, {"left", host.left},
              {"records", host.records}, {"messages", host.messages},   {"lost", host.lost},
              {"resent", host.resent},   {"rate", host.rate},           {"skipped", host.skipped},
              {"channels", channels}};
}

json Viewer_Json(const std::vector<CStored_Query::sProblem>& problems) {
  json out = json::array();
  for (const CStored_Query::sProblem& problem : problems)
    out.push_back({{"file", problem.file}, {"error", problem.text}});
  return out;
}

json Viewer_Json(const CTimeline::sBuckets& buckets) {
  json counts = json::array();
  for (const CTimeline::tCounts& bucket : buckets.counts) counts.push_back(bucket);
  return json{{"start_us", buckets.start_us}, {"width_us", buckets.width_us}, {"buckets", counts}};
}

json Viewer_Json(const std::vector<CServed_Directory::sSource>& sources) {
  json out = json::array();
  for (const CServed_Directory::sSource& source : sources) {
    json files = json::array();
    for (const CServed_Directory::sFile& file : source.files)
      files.push_back({{"path", file.path}, {"bytes", file.bytes}});
    out.push_back({{"path", source.path}, {"kind", "directory"}, {"files", files}});
  }
  return out;
}

json Viewer_Json(const CName_Census& census) {
  const CName_Census::sKind* kinds[] = {&census.Hosts(), &census.Channels(), &census.Modules(),
                                        &census.Threads()};
  const char* names[] = {"hosts", "channels", "modules", "threads"};
  json out = json::object();
  uint64_t omitted = 0;
  for (size_t i = 0; i < 4; ++i) {
    out[names[i]] = json(kinds[i]->names);
    omitted += kinds[i]->omitted;
  }
  out["omitted"] = omitted;
  return out;
}

std::string Viewer_Dump(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}
