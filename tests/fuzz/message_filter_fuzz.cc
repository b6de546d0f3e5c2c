// The viewer's message filter on parameters and patterns chosen by the input, matched against a
// message whose text the input also chooses:
// - Parse either accepts or refuses with a text that names the parameter; it never crashes, and
//   a pattern longer than kMax_Pattern is always refused;
// - an accepted filter matches without crashing and in time linear in the text (the run's
//   per-input time-out catches a matcher that backtracks);
// - a plain `text` criterion selects exactly the messages that contain it;
// - a pattern that quotes a piece of the text literally always matches it, so quoting through the
//   expression syntax loses nothing.
//
// Input: one byte of selectors, then fields separated by 0 bytes: the pattern, the message text,
// and a number for from_us.
#include <stddef.h>
#include <stdint.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include <re2/re2.h>

#include "fuzz_support.h"
#include "trace/viewer/filter_params.h"
#include "trace/viewer/message_filter.h"

namespace {

std::vector<std::string> Fields(const uint8_t* data, size_t size) {
  std::vector<std::string> fields(1);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0 && fields.size() < 3) {
      fields.emplace_back();
    } else {
      fields.back().push_back(static_cast<char>(data[i]));
    }
  }
  fields.resize(3);
  return fields;
}

}  // namespace

using viewer_test::Parse_Filter;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t selectors = data[0];
  const std::vector<std::string> fields = Fields(data + 1, size - 1);
  const std::string& pattern = fields[0];

  sViewer_Message message;
  message.host = "h";
  message.channel = "Chan";
  message.level = static_cast<uint32_t>(selectors % 6);
  message.time_us = static_cast<int64_t>(size) - 100;
  // Now and then the longest text a message holds, the input's text repeated.
  message.text = fields[1];
  if ((selectors & 0x80) && !message.text.empty()) {
    while (message.text.size() < sViewer_Message::kMax_Text) message.text += fields[1];
    message.text.resize(sViewer_Message::kMax_Text);
  }

  std::map<std::string, std::string> params{{"re", pattern}};
  if (selectors & 0x08) params["level"] = std::to_string((selectors >> 4) & 7);
  if (selectors & 0x40) params["from_us"] = fields[2];
  CMessage_Filter filter;
  const std::optional<std::string> error = Parse_Filter(&filter, params);
  if (error) {
    fuzz::Check(!error->empty() && error->find(':') != std::string::npos,
                "a refusal that does not name its parameter: " + *error);
  } else {
    fuzz::Check(pattern.size() <= CMessage_Filter::kMax_Pattern, "an over-long pattern accepted");
    filter.Matches(message);
  }

  // A plain text criterion: contained or not, nothing else decides.
  if (!fields[2].empty() && fields[2].size() <= sViewer_Message::kMax_Text) {
    CMessage_Filter text_filter;
    fuzz::Check(!Parse_Filter(&text_filter, {{"text", fields[2]}, {"case", "1"}}),
                "a plain text refused");
    fuzz::Check(text_filter.Matches(message) == (message.text.find(fields[2]) != std::string::npos),
                "the text criterion disagrees with the text");
  }

  // A name list of any shape (items, '*', '!'): accepted or refused, never more than the bound's
  // work; a name it names exactly, alone, is selected.
  {
    CMessage_Filter names;
    message.host = fields[1].substr(0, sViewer_Message::kMax_Name);
    if (!Parse_Filter(&names, {{"host", fields[2]}, {"channel", fields[2]}})) names.Matches(message);
    const std::string exact = message.host;
    CMessage_Filter own;
    if (!exact.empty() && exact.find_first_of(",*!") == std::string::npos &&
        exact.find_first_not_of(" \t") != std::string::npos && exact.front() != ' ' &&
        exact.front() != '\t' && exact.back() != ' ' && exact.back() != '\t' &&
        !Parse_Filter(&own, {{"host", exact}})) {
      fuzz::Check(own.Matches(message), "a host list of the host's own name does not select it");
    }
    message.host = "h";
  }

  // A piece of the text, quoted: matches whenever the quoted pattern is accepted.
  const size_t from = message.text.empty() ? 0 : selectors % message.text.size();
  const std::string piece = message.text.substr(from, static_cast<size_t>((selectors >> 3) & 15));
  const std::string quoted = RE2::QuoteMeta(piece);
  CMessage_Filter literal;
  if (!Parse_Filter(&literal, {{"re", quoted}, {"case", "1"}})) {
    fuzz::Check(literal.Matches(message),
                "a quoted piece of the text does not match it: " + quoted);
  }
  return 0;
}
