#include "index_schema.h"

#include <stdio.h>
#include <time.h>

#include <algorithm>

namespace {

// The key of the advisory lock that serialises schema and partition changes among servers.
constexpr const char* kLock = "SELECT pg_advisory_xact_lock(7243176501)";

constexpr const char* kMigration_1[] = {
    "CREATE EXTENSION IF NOT EXISTS pg_trgm",
    "CREATE TABLE trace_rows ("
    " time timestamptz NOT NULL, server text NOT NULL, client text NOT NULL, address text,"
    " pid bigint, process_start timestamptz, channel text, level smallint NOT NULL,"
    " module text, thread bigint, thread_name text, cpu integer, file text, line integer,"
    " function text, message text, sequence bigint"
    ") PARTITION BY RANGE (time)",
    "CREATE INDEX trace_rows_time ON trace_rows (time)",
    "CREATE INDEX trace_rows_client_time ON trace_rows (client, time)",
    "CREATE INDEX trace_rows_level_time ON trace_rows (level, time)",
    "CREATE TABLE trace_checkpoints ("
    " server text NOT NULL, file text NOT NULL, messages bigint NOT NULL,"
    " offset_bytes bigint NOT NULL, updated timestamptz NOT NULL DEFAULT now(),"
    " PRIMARY KEY (server, file))",
    "CREATE VIEW trace_messages AS SELECT time, server, client, address, pid, channel, level,"
    " (CASE level WHEN 0 THEN 'trace' WHEN 1 THEN 'debug' WHEN 2 THEN 'info'"
    "  WHEN 3 THEN 'warning' WHEN 4 THEN 'error' ELSE 'critical' END) AS level_name,"
    " module, thread, thread_name, file, line, function, message, sequence FROM trace_rows",
};

// Every row gets an identity of its own, so that the viewer can name one row (its details and
// context) with a single number. The sequence hands out numbers in blocks per session: unique,
// not in time order. Existing rows get theirs when the column is added. A BRIN index finds one:
// rows are appended in about the order their ids were handed out.
constexpr const char* kMigration_2[] = {
    "CREATE SEQUENCE trace_rows_id_seq AS bigint CACHE 100",
    "ALTER TABLE trace_rows ADD COLUMN id bigint NOT NULL DEFAULT nextval('trace_rows_id_seq')",
    "CREATE INDEX trace_rows_by_id ON trace_rows USING brin (id) WITH (autosummarize = on)",
    // The names of each day (kind 0 hosts, 1 channels, 2 modules, 3 thread names) and the
    // client that had them: the viewer's lists of names read these few rows, not a day of rows.
    "CREATE TABLE trace_names (day date NOT NULL, kind smallint NOT NULL, name text NOT NULL,"
    " client text NOT NULL, PRIMARY KEY (day, kind, name, client))",
    "INSERT INTO trace_names SELECT DISTINCT (r.time AT TIME ZONE 'UTC')::date, k.kind, k.name,"
    " r.client FROM trace_rows r CROSS JOIN LATERAL (VALUES (0::smallint, r.client),"
    " (1::smallint, r.channel), (2::smallint, r.module), (3::smallint, r.thread_name))"
    " AS k(kind, name) WHERE k.name <> ''",
};

bool Run_All(CPg_Connection* connection, const char* const* statements, size_t count,
             std::string* error) {
  for (size_t i = 0; i < count; ++i)
    if (!connection->Exec(statements[i], error)) return false;
  return true;
}

bool Fail(CPg_Connection* connection, std::string* error, const std::string& what) {
  std::string ignored;
  connection->Exec("ROLLBACK", &ignored);
  *error = what + ": " + *error;
  return false;
}

std::string Day_Text(int64_t day) {
  const time_t seconds = static_cast<time_t>(day * 86400);
  tm utc;
  gmtime_r(&seconds, &utc);
  char text[32];
  snprintf(text, sizeof(text), "%04d-%02d-%02d", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday);
  return text;
}

}  // namespace

int64_t Index_Clamp_Time(int64_t time_us) {
  constexpr int64_t kLast = 253402300799999999;  // 9999-12-31 23:59:59.999999
  return std::clamp<int64_t>(time_us, 0, kLast);
}

int64_t Index_Day(int64_t time_us) { return Index_Clamp_Time(time_us) / 86400000000; }

std::string Index_Partition_Name(int64_t day) {
  std::string text = Day_Text(day);
  text.erase(std::remove(text.begin(), text.end(), '-'), text.end());
  return "trace_rows_p" + text;
}

int Index_Schema_Version(CPg_Connection* connection, std::string* error) {
  CPg_Result result;
  if (!connection->Exec("SELECT to_regclass('trace_schema') IS NOT NULL", {}, &result, error))
    return -1;
  if (result.Text(0, 0) != "t") return 0;
  if (!connection->Exec("SELECT max(version) FROM trace_schema", {}, &result, error)) return -1;
  return static_cast<int>(result.Number(0, 0));
}

bool Ensure_Index_Schema(CPg_Connection* connection, std::string* error) {
  if (!connection->Exec("BEGIN", error) || !connection->Exec(kLock, error))
    return Fail(connection, error, "cannot lock the index schema");
  if (!connection->Exec("CREATE TABLE IF NOT EXISTS trace_schema (version integer NOT NULL)", error))
    return Fail(connection, error, "cannot create the schema version table");
  const int version = Index_Schema_Version(connection, error);
  if (version < 0) return Fail(connection, error, "cannot read the index schema version");
  if (version > kIndex_Schema_Version) {
    std::string ignored;
    connection->Exec("ROLLBACK", &ignored);
    *error = "the index database's schema is version " + std::to_string(version) +
             ", newer than this server's " + std::to_string(kIndex_Schema_Version) +
             ": run a newer trace-server on it";
    return false;
  }
  if (version < 1 &&
      !Run_All(connection, kMigration_1, sizeof(kMigration_1) / sizeof(kMigration_1[0]), error))
    return Fail(connection, error, "cannot create the index schema (version 1)");
  if (version < 2 &&
      !Run_All(connection, kMigration_2, sizeof(kMigration_2) / sizeof(kMigration_2[0]), error))
    return Fail(connection, error, "cannot migrate the index schema to version 2");
  // Later versions add their migrations here, each from the one before.
  if (version < kIndex_Schema_Version &&
      (!connection->Exec("DELETE FROM trace_schema", error) ||
       !connection->Exec("INSERT INTO trace_schema (version) VALUES ($1)",
                         {std::to_string(kIndex_Schema_Version)}, nullptr, error)))
    return Fail(connection, error, "cannot record the index schema version");
  if (!connection->Exec("COMMIT", error)) return Fail(connection, error, "cannot commit the schema");
  return true;
}

bool Ensure_Day_Partition(CPg_Connection* connection, int64_t day, std::string* error) {
  const std::string name = Index_Partition_Name(day);
  CPg_Result result;
  if (!connection->Exec("SELECT to_regclass($1) IS NOT NULL", {name}, &result, error)) return false;
  if (result.Text(0, 0) == "t") return true;
  // The lock makes two servers' creations take turns (IF NOT EXISTS alone can still collide).
  if (!connection->Exec("BEGIN", error) || !connection->Exec(kLock, error))
    return Fail(connection, error, "cannot lock for a new partition");
  const std::string sql = "CREATE TABLE IF NOT EXISTS " + name +
                          " PARTITION OF trace_rows FOR VALUES FROM ('" + Day_Text(day) +
                          " 00:00:00+00') TO ('" + Day_Text(day + 1) + " 00:00:00+00')";
  if (!connection->Exec(sql, error) || !connection->Exec("COMMIT", error))
    return Fail(connection, error, "cannot create the partition " + name);
  return true;
}

bool Close_Day_Partitions(CPg_Connection* connection, int64_t today, int* closed,
                          std::string* error) {
  *closed = 0;
  CPg_Result result;
  // Day partitions before today without their trigram index.
  if (!connection->Exec(
          "SELECT c.relname FROM pg_inherits i JOIN pg_class c ON c.oid = i.inhrelid"
          " WHERE i.inhparent = 'trace_rows'::regclass AND c.relname < $1"
          " AND to_regclass(c.relname || '_message') IS NULL ORDER BY 1",
          {Index_Partition_Name(today)}, &result, error))
    return false;
  for (int row = 0; row < result.Rows(); ++row) {
    const std::string name = result.Text(row, 0);
    if (name.size() != 20 || name.find_first_not_of("0123456789", 12) != std::string::npos) continue;
    // The name is one this server made (checked above), never a trace's text. Built without
    // CONCURRENTLY: the day is closed, so the table's short lock blocks no writer.
    if (!connection->Exec("CREATE INDEX IF NOT EXISTS " + name + "_message ON " + name +
                              " USING gin (message gin_trgm_ops)",
                          error))
      return false;
    ++*closed;
  }
  return true;
}

bool Drop_Partitions_Before(CPg_Connection* connection, int64_t first_kept_day, int* dropped,
                            std::string* error) {
  *dropped = 0;
  CPg_Result result;
  if (!connection->Exec(
          "SELECT c.relname FROM pg_inherits i JOIN pg_class c ON c.oid = i.inhrelid"
          " WHERE i.inhparent = 'trace_rows'::regclass AND c.relname < $1 ORDER BY 1",
          {Index_Partition_Name(first_kept_day)}, &result, error))
    return false;
  for (int row = 0; row < result.Rows(); ++row) {
    const std::string name = result.Text(row, 0);
    // Only names of the form this server makes are dropped.
    if (name.size() != 20 || name.find_first_not_of("0123456789", 12) != std::string::npos) continue;
    if (!connection->Exec("BEGIN", error) || !connection->Exec(kLock, error) ||
        !connection->Exec("DROP TABLE IF EXISTS " + name, error) ||
        !connection->Exec("COMMIT", error))
      return Fail(connection, error, "cannot drop the partition " + name);
    ++*dropped;
  }
  return connection->Exec("DELETE FROM trace_names WHERE day < 'epoch'::date + $1::integer",
                          {std::to_string(first_kept_day)}, nullptr, error);
}
