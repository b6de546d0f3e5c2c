#include "access_token.h"

#include <arpa/inet.h>
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

bool Is_Loopback_Host(const std::string& host) {
  if (host == "localhost") return true;
  in_addr v4;
  if (inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6;
  if (inet_pton(AF_INET6, host.c_str(), &v6) == 1) return IN6_IS_ADDR_LOOPBACK(&v6);
  return false;
}

std::string Generate_Access_Token() {
  uint8_t bytes[16];
  FILE* random = fopen("/dev/urandom", "rb");
  if (!random) return "";
  const size_t got = fread(bytes, 1, sizeof(bytes), random);
  fclose(random);
  if (got != sizeof(bytes)) return "";
  static const char kDigits[] = "0123456789abcdef";
  std::string token;
  for (uint8_t byte : bytes) {
    token += kDigits[byte >> 4];
    token += kDigits[byte & 15];
  }
  return token;
}

bool Token_Matches(const std::string& expected, const std::string& given) {
  if (expected.empty() || expected.size() != given.size()) return false;
  unsigned char difference = 0;
  for (size_t i = 0; i < expected.size(); ++i)
    difference |= static_cast<unsigned char>(expected[i] ^ given[i]);
  return difference == 0;
}

bool Read_Token_File(const std::string& path, std::string* token, std::string* error) {
  FILE* file = fopen(path.c_str(), "r");
  if (!file) {
    *error = "cannot read the token file " + path + ": " + strerror(errno);
    return false;
  }
  std::string line;
  for (int c; (c = fgetc(file)) != EOF && c != '\n' && line.size() <= 4096;)
    line += static_cast<char>(c);
  const bool failed = ferror(file) != 0;
  fclose(file);
  const size_t first = line.find_first_not_of(" \t\r");
  const size_t last = line.find_last_not_of(" \t\r");
  *token = first == std::string::npos ? std::string() : line.substr(first, last - first + 1);
  if (failed || token->empty() || token->size() > 256) {
    *error =
        "the token file " + path +
        (failed ? " cannot be read" : " holds no token of 1 to 256 characters on its first line");
    token->clear();
    return false;
  }
  return true;
}
