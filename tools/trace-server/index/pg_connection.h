// CPg_Connection: one connection to the index database (libpq), closed with the object. Every
// statement that carries a value sends it as a parameter; rows go in through COPY. No text from a
// trace or a request is ever pasted into SQL.
//
// Credentials come from where libpq looks for them (the URL, PGPASSFILE or ~/.pgpass,
// PGPASSWORD, a service file named by PGSERVICE or the URL's service=); nothing here asks for
// them on the command line.
//
// Thread-safety: none; one thread uses a connection at a time.
#ifndef TOOLS_TRACE_SERVER_INDEX_PG_CONNECTION_H_
#define TOOLS_TRACE_SERVER_INDEX_PG_CONNECTION_H_

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

struct pg_conn;
struct pg_result;

// One result of a statement, freed with the object.
class CPg_Result {
 public:
  CPg_Result() = default;
  explicit CPg_Result(pg_result* result) : m_Result(result) {}
  bool Ok() const;  // the statement succeeded (with or without rows)
  int Rows() const;
  bool Null(int row, int column) const;
  std::string Text(int row, int column) const;
  int64_t Number(int row, int column) const;  // 0 for NULL

 private:
  struct sFree {
    void operator()(pg_result* result) const;
  };
  std::unique_ptr<pg_result, sFree> m_Result;
};

class CPg_Connection {
 public:
  CPg_Connection() = default;
  ~CPg_Connection();
  CPg_Connection(const CPg_Connection&) = delete;
  CPg_Connection& operator=(const CPg_Connection&) = delete;

  // Connects to `url` (postgresql://... or key=value). False with the server's or libpq's reason
  // in `error` (a malformed URL, an unreachable server, a refused login).
  bool Connect(const std::string& url, std::string* error);
  bool Connected() const;
  void Close();

  // Runs `sql` with `params` ($1..$n, all sent as text; an empty optional is NULL). False with
  // the reason in `error`; `result` (may be null) receives the rows.
  bool Exec(const std::string& sql, const std::vector<std::string>& params, CPg_Result* result,
            std::string* error);
  bool Exec(const std::string& sql, std::string* error) { return Exec(sql, {}, nullptr, error); }

  // COPY: Copy_Begin with a "COPY ... FROM STDIN" statement, then Copy_Put of rows in the text
  // format, then Copy_End. False with `error` at the first failure.
  bool Copy_Begin(const std::string& sql, std::string* error);
  bool Copy_Put(const std::string& data, std::string* error);
  bool Copy_End(std::string* error);

  // The library's reason for the last failure, one line.
  std::string Last_Error() const;

 private:
  pg_conn* m_Conn = nullptr;
};

// `url` with any password removed, for messages.
std::string Pg_Url_Shown(const std::string& url);

#endif  // TOOLS_TRACE_SERVER_INDEX_PG_CONNECTION_H_
