// A private PostgreSQL for the fleet tests: one server per test binary, started on first use
// by scripts/pg-private.sh in a temporary directory (listening only on a socket there, run as an
// unprivileged user when the tests run as root) and stopped, by its pid, when the binary ends.
// Every test takes a database of its own, so that tests never see each other's rows.
//
// Thread-safety: call from the test's thread.
#ifndef TESTS_TOOLS_FLEET_DATABASE_H_
#define TESTS_TOOLS_FLEET_DATABASE_H_

#include <string>

namespace fleet_test {

// The URL of a new, empty database on the private server; empty (with the reason on standard
// error) when the server cannot start.
std::string New_Database();
// Stops the private server (the databases stay on disk) / starts it again.
bool Stop_Server();
bool Start_Server();
// Runs one SQL statement as the superuser on `url`; its first column of every row, one line each.
std::string Sql(const std::string& url, const std::string& statement);

}  // namespace fleet_test

#endif  // TESTS_TOOLS_FLEET_DATABASE_H_
