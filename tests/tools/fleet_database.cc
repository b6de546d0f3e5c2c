#include "fleet_database.h"

#include <stdio.h>
#include <stdlib.h>

#include <memory>

#include "pg_connection.h"
#include "support/temp_dir.h"

namespace fleet_test {
namespace {

std::string Script() {
  const char* source = getenv("MQW_SOURCE_DIR");
  return std::string(source ? source : ".") + "/scripts/pg-private.sh";
}

std::string Run(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return out;
  char buffer[512];
  while (fgets(buffer, sizeof(buffer), pipe)) out += buffer;
  if (pclose(pipe) != 0) return std::string();
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

struct sServer {
  mqw_test::TempDir dir{"mqw-fleet"};
  std::string url;  // of the "trace" database
  int databases = 0;
  ~sServer() {
    if (!url.empty()) Run("'" + Script() + "' stop '" + dir.Path() + "'");
  }
};

sServer& Server() {
  static sServer server;
  return server;
}

}  // namespace

bool Start_Server() {
  sServer& server = Server();
  server.url = Run("'" + Script() + "' start '" + server.dir.Path() + "'");
  if (server.url.empty()) fprintf(stderr, "fleet test: the private PostgreSQL did not start\n");
  return !server.url.empty();
}

bool Stop_Server() {
  return !Run("'" + Script() + "' stop '" + Server().dir.Path() + "' && echo stopped").empty();
}

std::string New_Database() {
  sServer& server = Server();
  if (server.url.empty() && !Start_Server()) return std::string();
  const std::string name = "test" + std::to_string(++server.databases);
  CPg_Connection connection;
  std::string error;
  if (!connection.Connect(server.url, &error) ||
      !connection.Exec("CREATE DATABASE " + name, &error)) {
    fprintf(stderr, "fleet test: %s\n", error.c_str());
    return std::string();
  }
  std::string url = server.url;
  url.replace(url.find("/trace?"), 7, "/" + name + "?");
  return url;
}

std::string Sql(const std::string& url, const std::string& statement) {
  CPg_Connection connection;
  CPg_Result result;
  std::string error;
  if (!connection.Connect(url, &error) || !connection.Exec(statement, {}, &result, &error))
    return "error: " + error;
  std::string out;
  for (int row = 0; row < result.Rows(); ++row) {
    if (row) out += '\n';
    out += result.Null(row, 0) ? "NULL" : result.Text(row, 0);
  }
  return out;
}

}  // namespace fleet_test
