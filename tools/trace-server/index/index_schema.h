// The index database's schema: created and migrated by the server, under a lock every server
// sharing the database takes, so that several servers starting at once agree.
//
// trace_schema holds one row, the schema's version. A server finding no version creates the
// schema; finding an older one, it applies its migrations in order in one transaction; finding a
// newer one, it refuses to index (Ensure_Index_Schema fails with a message naming both versions):
// an older server never writes into a layout it does not know.
//
// Version 1:
//   trace_rows          the messages, partitioned by day (UTC) on `time`, one partition per
//                       day named trace_rows_pYYYYMMDD, made when a message of that day comes
//   trace_checkpoints   per server and file: how many of the file's messages are indexed and
//                       the file offset they end at; written in the transaction of their rows
//   trace_messages      the view operators query (the stable face; trace_rows may change)
//   indexes             B-tree on time (pages newest or oldest first read it in order), on
//                       (client, time) and (level, time); a trigram GIN on the message text of
//                       every closed day (trace_rows_pYYYYMMDD_message, built once the day is
//                       over: maintaining it row by row halves the COPY rate, and a search of
//                       the current day reads one partition)
// Version 2:
//   trace_rows.id       a bigint identity of every row (sequence trace_rows_id_seq): the number
//                       the viewer names a fleet row by; BRIN trace_rows_by_id (ids follow the
//                       insertion order closely, so a lookup reads one block range per day and
//                       the COPY barely pays for it; a B-tree cost about a tenth of the rate)
//   trace_names         (day, kind, name, client): the hosts (kind 0), channels (1), modules
//                       (2) and thread names (3) each day's rows have, written with the rows;
//                       the viewer's lists of names read it. Days before the retention go with
//                       their partitions.
//
// Thread-safety: pure functions over a connection the caller owns.
#ifndef TOOLS_TRACE_SERVER_INDEX_INDEX_SCHEMA_H_
#define TOOLS_TRACE_SERVER_INDEX_INDEX_SCHEMA_H_

#include <stdint.h>

#include <string>

#include "pg_connection.h"

constexpr int kIndex_Schema_Version = 2;

// Creates or migrates the schema; false with a clear `error` (a newer schema, no right to create
// the pg_trgm extension, ...).
bool Ensure_Index_Schema(CPg_Connection* connection, std::string* error);

// The schema version the database holds; 0 when none, -1 with `error` on failure.
int Index_Schema_Version(CPg_Connection* connection, std::string* error);

// `time_us` (µs since 1970) brought into the range the index stores (1970-01-01 to 9999-12-31).
int64_t Index_Clamp_Time(int64_t time_us);
// Days since 1970-01-01 (UTC) of a clamped time.
int64_t Index_Day(int64_t time_us);
// "trace_rows_pYYYYMMDD" of a day.
std::string Index_Partition_Name(int64_t day);

// Makes the partition of `day` unless it exists. The bounds are formatted from the day number,
// never from a trace.
bool Ensure_Day_Partition(CPg_Connection* connection, int64_t day, std::string* error);

// Builds the trigram index of every day partition before `today` that has none; `closed` counts
// them.
bool Close_Day_Partitions(CPg_Connection* connection, int64_t today, int* closed,
                          std::string* error);

// Drops every day partition whose day ends before `first_kept_day`, and those days' names;
// `dropped` counts the partitions.
bool Drop_Partitions_Before(CPg_Connection* connection, int64_t first_kept_day, int* dropped,
                            std::string* error);

#endif  // TOOLS_TRACE_SERVER_INDEX_INDEX_SCHEMA_H_
