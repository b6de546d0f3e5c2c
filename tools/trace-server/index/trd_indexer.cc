#include "trd_indexer.h"

#include <dirent.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include <mqtt-wrapper/TRTextSink.h>

#include "copy_text.h"
#include "index_schema.h"
#include "trace/base/utf.h"
#include "trace/decode/trace_file_reader.h"
#include "trace/format/file_header.h"
#include "trace/viewer/viewer_message.h"

namespace {

constexpr size_t kRead_Bytes = 64 << 10;

std::string Copy_Time(int64_t time_us) {
  time_us = Index_Clamp_Time(time_us);
  const time_t seconds = static_cast<time_t>(time_us / 1000000);
  tm utc;
  gmtime_r(&seconds, &utc);
  char text[48];
  snprintf(text, sizeof(text), "%04d-%02d-%02d %02d:%02d:%02d.%06d+00", utc.tm_year + 1900,
           utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
           static_cast<int>(time_us % 1000000));
  return text;
}

void Field(std::string_view text, std::string* out) {
  Append_Copy_Field(Index_Text(text), out);
  *out += '\t';
}

void Number(uint64_t value, std::string* out) {
  *out += std::to_string(value);
  *out += '\t';
}

// `text` (as stored) as an element of an array literal: quoted, backslash and quote escaped.
std::string Array_Element(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string_view View(const char* text, uint64_t length) {
  return text ? std::string_view(text, length) : std::string_view();
}

// The client directories and their files, in name order.
std::vector<std::pair<std::string, uint64_t>> List_Files(const std::string& directory) {
  std::vector<std::pair<std::string, uint64_t>> files;
  DIR* top = opendir(directory.c_str());
  if (!top) return files;
  std::vector<std::string> clients;
  while (dirent* entry = readdir(top)) {
    if (entry->d_name[0] == '.') continue;
    clients.emplace_back(entry->d_name);
  }
  closedir(top);
  for (const std::string& client : clients) {
    const std::string path = directory + "/" + client;
    DIR* inner = opendir(path.c_str());
    if (!inner) continue;
    while (dirent* entry = readdir(inner)) {
      const std::string name = entry->d_name;
      if (name.size() < 5 || name.compare(name.size() - 4, 4, ".trd") != 0) continue;
      struct stat info;
      if (lstat((path + "/" + name).c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
      files.emplace_back(client + "/" + name, static_cast<uint64_t>(info.st_size));
    }
    closedir(inner);
  }
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace

// What is being copied into the database and not yet committed.
struct CTrd_Indexer::sBatch {
  std::string rows;  // COPY text
  size_t count = 0;
  std::set<int64_t> days;
  // Checkpoints to write with the rows: file -> (messages, offset).
  std::map<std::string, std::pair<uint64_t, uint64_t>> checkpoints;
  // (day, kind, name as stored, client) of the rows: kind 0 the client itself, 1 channel,
  // 2 module, 3 thread name.
  std::set<std::tuple<int64_t, int, std::string, std::string>> names;
};

// One file being read: its reader keeps the stream's state between rounds.
struct CTrd_Indexer::sFile final : public CClTextSink {
  CTrd_Indexer* owner = nullptr;
  std::string client;
  std::string address;
  std::string pid;
  std::string process_start;  // COPY text, "\\N" when unknown
  // The day and names of the last row noted in trace_names' batch set: consecutive rows mostly
  // repeat them, so a row costs a few comparisons. Reset with the file (m_Files is cleared when
  // a batch is lost), so a name is never skipped for one that was not committed.
  int64_t names_day = -1;
  std::string last_names[3];
  uint64_t fed = 0;           // bytes given to the reader
  uint64_t decoded = 0;       // messages decoded
  uint64_t skip = 0;          // messages already in the database when it was opened
  bool damaged = false;
  uint8_t header[kTRD_Header_Size] = {};
  CTrace_File_Reader reader;

  uint32_t Initialize(char**, int) override { return 0; }
  uint32_t DumpBuffers() override { return 0; }
  uint32_t Log(const sLog* log, const char*, uint64_t) override {
    const uint64_t number = decoded++;
    if (number < skip) return 0;
    const uint32_t level = log->level > 5 ? 5 : log->level;
    if (level < owner->m_Config.min_level) return 0;
    const int64_t time_us = Index_Clamp_Time(Viewer_Unix_Microseconds(log->absolute_time));
    // Past the retention: counted, not stored (its day's partition is gone or about to go).
    if (Index_Day(time_us) < owner->m_First_Kept_Day) return 0;
    sBatch& batch = *owner->m_Batch;
    std::string& out = batch.rows;
    out += Copy_Time(time_us);
    out += '\t';
    Field(owner->m_Config.server, &out);
    Field(client, &out);
    Field(address, &out);
    out += pid;
    out += '\t';
    out += process_start;
    out += '\t';
    Field(View(log->channel_name, log->channel_name_length), &out);
    Number(level, &out);
    Field(View(log->module_name, log->module_name_length), &out);
    Number(log->thread_id, &out);
    Field(View(log->thread_name, log->thread_name_length), &out);
    Number(log->cpu, &out);
    if (log->descriptor) {
      Field(View(log->descriptor->file_name, log->descriptor->file_name_length), &out);
      Number(log->descriptor->line, &out);
      Field(View(log->descriptor->function, log->descriptor->function_length), &out);
    } else {
      out += "\\N\t\\N\t\\N\t";
    }
    Field(View(log->message, log->message_length), &out);
    out += std::to_string(log->sequence);
    out += '\n';
    ++batch.count;
    const int64_t day = Index_Day(time_us);
    batch.days.insert(day);
    Note_Names(day,
               {View(log->channel_name, log->channel_name_length),
                View(log->module_name, log->module_name_length),
                View(log->thread_name, log->thread_name_length)},
               &batch);
    return 0;
  }

  void Note_Names(int64_t day, const std::string_view (&names)[3], sBatch* batch) {
    if (day != names_day) {
      names_day = day;
      for (std::string& last : last_names) last.clear();
      batch->names.emplace(day, 0, Index_Text(client), Index_Text(client));
    }
    for (int kind = 0; kind < 3; ++kind) {
      if (names[kind].empty() || names[kind] == last_names[kind]) continue;
      last_names[kind].assign(names[kind]);
      batch->names.emplace(day, kind + 1, Index_Text(names[kind]), Index_Text(client));
    }
  }

  // Takes the file header's process ID, start and address once it is complete.
  void Read_Header() {
    sTRD_File_Header parsed;
    memcpy(&parsed, header, sizeof(parsed));
    pid = parsed.process_id ? std::to_string(parsed.process_id) : "\\N";
    const uint64_t start = (uint64_t{parsed.start_hi} << 32) | parsed.start_lo;
    process_start = start ? Copy_Time(Viewer_Unix_Microseconds(start)) : "\\N";
    char text[kTRD_Name_Units * 3 + 1];
    parsed.host_name[kTRD_Name_Units - 1] = 0;
    if (Convert_UTF16_To_UTF8(parsed.host_name, text, sizeof(text)) < 0) text[0] = 0;
    address = text;
  }
};

CTrd_Indexer::CTrd_Indexer(sConfig config)
    : m_Config(std::move(config)),
      m_Batch(std::make_unique<sBatch>()),
      m_Caught_Up(std::chrono::steady_clock::now()) {}

CTrd_Indexer::~CTrd_Indexer() { Stop(); }

bool CTrd_Indexer::Prepare(std::string* error) {
  if (!m_Connection.Connect(m_Config.url, error)) return false;
  if (!Ensure_Index_Schema(&m_Connection, error)) return false;
  if (!Load_Checkpoints()) {
    *error = Status().last_error;
    return false;
  }
  CLockGuard guard(&m_Lock);
  m_Status.connected = true;
  return true;
}

void CTrd_Indexer::Start() {
  m_Thread = std::thread([this] { Run(); });
  m_Maintenance = std::thread([this] {
    for (;;) {
      std::string error;
      if (!Maintain(&error)) fprintf(stderr, "trace-server: index maintenance: %s\n", error.c_str());
      std::unique_lock<std::mutex> guard(m_Wait_Lock);
      if (m_Wake.wait_for(guard, std::chrono::minutes(1), [this] { return m_Stop; })) break;
    }
  });
}

void CTrd_Indexer::Stop() {
  if (!m_Thread.joinable()) return;
  {
    std::lock_guard<std::mutex> guard(m_Wait_Lock);
    m_Stop = true;
  }
  m_Wake.notify_all();
  m_Thread.join();
  if (m_Maintenance.joinable()) m_Maintenance.join();
}

void CTrd_Indexer::Run() {
  for (;;) {
    Pass();
    std::unique_lock<std::mutex> guard(m_Wait_Lock);
    if (m_Wake.wait_for(guard, m_Config.poll, [this] { return m_Stop; })) break;
  }
  // What the files gained up to the stop. A lost connection is tried again at once rather than
  // after the back-off, and once more if the first pass found it broken (a database restarted
  // since the last pass), so that a server stopped soon after the database came back still
  // indexes what it wrote; a database still down leaves it to the checkpoints of the next start.
  for (int attempt = 0; attempt < 2; ++attempt) {
    m_Next_Attempt = {};
    if (Pass()) break;
  }
}

CTrd_Indexer::sStatus CTrd_Indexer::Status() const {
  CLockGuard guard(&m_Lock);
  return m_Status;
}

void CTrd_Indexer::Lost(const std::string& error) {
  m_Connection.Close();
  // Decoded again from their checkpoints once the database is back. The checkpoints known stay
  // (each was committed): they measure the lag meanwhile and are read again on reconnecting.
  m_Files.clear();
  m_Batch = std::make_unique<sBatch>();
  m_Days.clear();
  m_Next_Attempt = std::chrono::steady_clock::now() + m_Config.retry;
  CLockGuard guard(&m_Lock);
  if (m_Status.connected || m_Status.last_error != error)
    fprintf(stderr, "trace-server: index: %s\n", error.c_str());
  m_Status.connected = false;
  m_Status.last_error = error;
  ++m_Status.failures;
}

bool CTrd_Indexer::Reconnect() {
  if (m_Connection.Connected()) return true;
  if (std::chrono::steady_clock::now() < m_Next_Attempt) return false;
  std::string error;
  if (!m_Connection.Connect(m_Config.url, &error) || !Ensure_Index_Schema(&m_Connection, &error)) {
    Lost(error);
    return false;
  }
  if (!Load_Checkpoints()) return false;
  fprintf(stderr, "trace-server: index: connected again, going on from the checkpoints\n");
  CLockGuard guard(&m_Lock);
  m_Status.connected = true;
  return true;
}

bool CTrd_Indexer::Load_Checkpoints() {
  CPg_Result result;
  std::string error;
  if (!m_Connection.Exec("SELECT file, messages, offset_bytes FROM trace_checkpoints WHERE server = $1",
                         {m_Config.server}, &result, &error)) {
    Lost("cannot read the checkpoints: " + error);
    return false;
  }
  m_Checkpoints.clear();
  for (int row = 0; row < result.Rows(); ++row)
    m_Checkpoints[result.Text(row, 0)] = {static_cast<uint64_t>(result.Number(row, 1)),
                                          static_cast<uint64_t>(result.Number(row, 2))};
  return true;
}

bool CTrd_Indexer::Pass() {
  if (m_Config.keep_days > 0)
    m_First_Kept_Day = static_cast<int64_t>(::time(nullptr)) / 86400 - (m_Config.keep_days - 1);
  const auto files = List_Files(m_Config.directory);
  const bool up = Reconnect();
  bool complete = up;
  if (up) {
    for (const auto& [relative, size] : files)
      if (!Read_File(relative, size)) {
        complete = false;
        break;
      }
  }
  if (up && m_Connection.Connected() && m_Batch->count + m_Batch->checkpoints.size() > 0 &&
      !Commit())
    complete = false;
  if (m_Connection.Connected()) {
    // Files removed by retention or the quota: their state and checkpoints go.
    std::set<std::string> present;
    for (const auto& file : files) present.insert(file.first);
    for (auto it = m_Files.begin(); it != m_Files.end();)
      it = present.count(it->first) ? std::next(it) : m_Files.erase(it);
    std::vector<std::string> gone;
    for (const auto& checkpoint : m_Checkpoints)
      if (!present.count(checkpoint.first)) gone.push_back(checkpoint.first);
    for (const std::string& file : gone) {
      std::string error;
      if (!m_Connection.Exec("DELETE FROM trace_checkpoints WHERE server = $1 AND file = $2",
                             {m_Config.server, file}, nullptr, &error)) {
        Lost(error);
        complete = false;
        break;
      }
      m_Checkpoints.erase(file);
    }
  }
  // The lag: bytes not yet in a committed batch, and messages estimated from them.
  uint64_t behind = 0;
  for (const auto& [relative, size] : files) {
    auto state = m_Files.find(relative);
    uint64_t done = 0;
    if (state != m_Files.end())
      done = state->second->fed;
    else if (auto checkpoint = m_Checkpoints.find(relative); checkpoint != m_Checkpoints.end())
      done = checkpoint->second.second;
    if (size > done && size > kTRD_Header_Size) behind += size - std::max<uint64_t>(done, kTRD_Header_Size);
  }
  const auto now = std::chrono::steady_clock::now();
  if (complete && behind == 0) m_Caught_Up = now;
  CLockGuard guard(&m_Lock);
  m_Status.lag_bytes = behind;
  m_Status.lag_messages = static_cast<uint64_t>(static_cast<double>(behind) / m_Bytes_Per_Message);
  m_Status.lag_seconds =
      behind == 0 && complete ? 0 : std::chrono::duration<double>(now - m_Caught_Up).count();
  return complete && behind == 0;
}

bool CTrd_Indexer::Read_File(const std::string& relative, uint64_t size) {
  auto found = m_Files.find(relative);
  if (found == m_Files.end()) {
    uint64_t skip = 0, offset = 0;
    if (auto checkpoint = m_Checkpoints.find(relative); checkpoint != m_Checkpoints.end()) {
      skip = checkpoint->second.first;
      offset = checkpoint->second.second;
    }
    // A file indexed to its end that has not grown since is not decoded again.
    if (offset != 0 && offset == size) return true;
    auto file = std::make_unique<sFile>();
    file->owner = this;
    file->client = relative.substr(0, relative.find('/'));
    file->skip = skip;
    if (!file->reader.Init("%ms", file.get())) return true;
    found = m_Files.emplace(relative, std::move(file)).first;
  }
  sFile& file = *found->second;
  if (file.damaged || size <= file.fed) return true;
  FILE* input = fopen((m_Config.directory + "/" + relative).c_str(), "rb");
  if (!input) return true;
  if (fseek(input, static_cast<long>(file.fed), SEEK_SET) != 0) {
    fclose(input);
    return true;
  }
  std::vector<uint8_t> buffer(kRead_Bytes);
  bool ok = true;
  while (file.fed < size) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), size - file.fed));
    const size_t got = fread(buffer.data(), 1, want, input);
    if (got == 0) break;
    if (file.fed < kTRD_Header_Size) {
      const size_t part = static_cast<size_t>(std::min<uint64_t>(got, kTRD_Header_Size - file.fed));
      memcpy(file.header + file.fed, buffer.data(), part);
      if (file.fed + part == kTRD_Header_Size) file.Read_Header();
    }
    const uint64_t before = file.decoded;
    if (!file.reader.Feed(buffer.data(), got)) {
      // Damage: what came before it is indexed; the rest of the file is left alone.
      fprintf(stderr, "trace-server: index: %s: %s\n", relative.c_str(), file.reader.Error_Text());
      file.damaged = true;
    }
    file.fed += got;
    if (file.decoded > before)
      m_Bytes_Per_Message = 0.9 * m_Bytes_Per_Message +
                            0.1 * static_cast<double>(got) / static_cast<double>(file.decoded - before);
    m_Batch->checkpoints[relative] = {std::max(file.decoded, file.skip), file.fed};
    if (file.damaged) break;
    if (m_Batch->count >= m_Config.batch && !Commit()) {
      ok = false;
      break;
    }
  }
  fclose(input);
  return ok;
}

bool CTrd_Indexer::Commit() {
  sBatch& batch = *m_Batch;
  std::string error;
  for (int64_t day : batch.days) {
    if (m_Days.count(day)) continue;
    if (!Ensure_Day_Partition(&m_Connection, day, &error)) {
      Lost(error);
      return false;
    }
    m_Days.insert(day);
  }
  bool ok = m_Connection.Exec("BEGIN", &error);
  if (ok && batch.count > 0) {
    ok = m_Connection.Copy_Begin(
             "COPY trace_rows (time, server, client, address, pid, process_start, channel, level,"
             " module, thread, thread_name, cpu, file, line, function, message, sequence)"
             " FROM STDIN",
             &error) &&
         m_Connection.Copy_Put(batch.rows, &error) && m_Connection.Copy_End(&error);
  }
  // The batch's names not yet known to be in trace_names, as four arrays unnested in one
  // statement, in key order (servers inserting the same keys lock them in the same order).
  std::string days = "{", kinds = "{", names = "{", clients = "{";
  size_t new_names = 0;
  for (const auto& name : batch.names) {
    if (m_Names_Known.count(name)) continue;
    const char* comma = new_names++ ? "," : "";
    days += comma + std::to_string(std::get<0>(name));
    kinds += comma + std::to_string(std::get<1>(name));
    names += comma + Array_Element(std::get<2>(name));
    clients += comma + Array_Element(std::get<3>(name));
  }
  if (ok && new_names > 0)
    ok = m_Connection.Exec(
        "INSERT INTO trace_names (day, kind, name, client)"
        " SELECT 'epoch'::date + d, k, n, c FROM unnest($1::integer[], $2::smallint[], $3::text[],"
        " $4::text[]) AS u(d, k, n, c) ORDER BY 1, 2, 3, 4 ON CONFLICT DO NOTHING",
        {days + "}", kinds + "}", names + "}", clients + "}"}, nullptr, &error);
  for (auto it = batch.checkpoints.begin(); ok && it != batch.checkpoints.end(); ++it)
    ok = m_Connection.Exec(
        "INSERT INTO trace_checkpoints (server, file, messages, offset_bytes) VALUES ($1, $2, $3, $4)"
        " ON CONFLICT (server, file) DO UPDATE SET messages = EXCLUDED.messages,"
        " offset_bytes = EXCLUDED.offset_bytes, updated = now()",
        {m_Config.server, it->first, std::to_string(it->second.first),
         std::to_string(it->second.second)},
        nullptr, &error);
  ok = ok && m_Connection.Exec("COMMIT", &error);
  if (!ok) {
    Lost("cannot store a batch: " + error);
    return false;
  }
  for (const auto& checkpoint : batch.checkpoints) m_Checkpoints[checkpoint.first] = checkpoint.second;
  if (m_Names_Known.size() > 100000) m_Names_Known.clear();  // a bound; at worst sent again
  m_Names_Known.insert(batch.names.begin(), batch.names.end());
  {
    CLockGuard guard(&m_Lock);
    m_Status.rows += batch.count;
    ++m_Status.batches;
  }
  m_Batch = std::make_unique<sBatch>();
  return true;
}

bool CTrd_Indexer::Maintain(std::string* error) {
  CPg_Connection connection;
  if (!connection.Connect(m_Config.url, error)) return false;
  const int64_t today = static_cast<int64_t>(::time(nullptr)) / 86400;
  int closed = 0, dropped = 0;
  if (m_Config.keep_days > 0 &&
      !Drop_Partitions_Before(&connection, today - (m_Config.keep_days - 1), &dropped, error))
    return false;
  const bool ok = Close_Day_Partitions(&connection, today, &closed, error);
  CLockGuard guard(&m_Lock);
  m_Status.dropped_partitions += dropped;
  m_Status.closed_days += closed;
  return ok;
}

std::string Default_Index_Server_Name(const std::string& listen) {
  char host[256] = {};
  if (gethostname(host, sizeof(host) - 1) != 0) strcpy(host, "trace-server");
  const size_t colon = listen.rfind(':');
  return std::string(host) + ":" + (colon == std::string::npos ? listen : listen.substr(colon + 1));
}
