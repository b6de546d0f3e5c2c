#include "support/trd_reader.h"

#include <dirent.h>
#include <string.h>
#include <strings.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>

#include <mqtt-wrapper/TR.h>

#include "trace/format/trace_format.h"

namespace mqw_test {

namespace {

struct Descriptor {
  std::string format;
  std::vector<sTRTrace_Arg> args;
};

struct ChannelState {
  bool info = false;  // information record seen
  bool utc = false;   // UTC offset seen right after it
  std::map<uint16_t, Descriptor> descriptors;
  std::map<uint16_t, bool> modules;
};

std::string Utf16_To_Utf8(const uint8_t* p, size_t max_units, size_t* units_used) {
  std::string out;
  size_t i = 0;
  for (; i < max_units; ++i) {
    uint16_t unit;
    memcpy(&unit, p + 2 * i, 2);
    if (unit == 0) {
      ++i;
      break;
    }
    if (unit < 0x80) {
      out += static_cast<char>(unit);
    } else if (unit < 0x800) {
      out += static_cast<char>(0xC0 | (unit >> 6));
      out += static_cast<char>(0x80 | (unit & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (unit >> 12));
      out += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (unit & 0x3F));
    }
  }
  if (units_used != nullptr) *units_used = i;
  return out;
}

void Fail(TrdFile* file, const std::string& why) {
  if (file->error.empty()) file->error = why;
}

void Decode_Record(TrdFile* file, ChannelState* state, uint32_t channel, const uint8_t* p,
                   uint32_t size) {
  uint32_t header;
  memcpy(&header, p, 4);
  const uint32_t subtype = TRTrace_Header_Subtype(header);
  file->records.push_back(TrdRecord{channel, subtype, size});
  if (!state->info && subtype != eTRTrace_Info) {
    Fail(file,
         "channel " + std::to_string(channel) + " starts with subtype " + std::to_string(subtype));
  }
  switch (subtype) {
    case eTRTrace_Info:
      state->info = true;
      state->utc = false;
      break;
    case eTRTrace_UTC_Offset:
      state->utc = true;
      break;
    case eTRTrace_Format: {
      if (size < sizeof(sTRTrace_Format)) return Fail(file, "short descriptor");
      sTRTrace_Format fixed;
      memcpy(&fixed, p, sizeof(fixed));
      Descriptor d;
      size_t offset = sizeof(fixed);
      for (uint16_t i = 0; i < fixed.args_count && offset + 2 <= size; ++i, offset += 2) {
        sTRTrace_Arg arg;
        memcpy(&arg, p + offset, 2);
        d.args.push_back(arg);
      }
      size_t units = 0;
      d.format = Utf16_To_Utf8(p + offset, (size - offset) / 2, &units);
      state->descriptors[fixed.id] = d;
      break;
    }
    case eTRTrace_Module: {
      uint16_t id;
      memcpy(&id, p + 4, 2);
      state->modules[id] = true;
      break;
    }
    case eTRTrace_Data: {
      if (!state->utc)
        Fail(file, "data before the UTC offset on channel " + std::to_string(channel));
      if (size < sizeof(sTRTrace_Data) + 1) return Fail(file, "short data record");
      sTRTrace_Data fixed;
      memcpy(&fixed, p, sizeof(fixed));
      TrdData data;
      data.channel = channel;
      data.id = fixed.id;
      data.level = fixed.level;
      data.thread_id = fixed.thread_id;
      data.sequence = fixed.sequence;
      auto it = state->descriptors.find(fixed.id);
      if (it == state->descriptors.end()) {
        Fail(file, "data record without its descriptor, id " + std::to_string(fixed.id));
      } else {
        data.format = it->second.format;
        size_t offset = sizeof(fixed);
        for (const sTRTrace_Arg& arg : it->second.args) {
          if (TRTrace_Is_Numeric(arg.type)) {
            if (offset + 8 > size) return Fail(file, "data record cut");
            uint64_t value;
            memcpy(&value, p + offset, 8);
            data.numbers.push_back(value);
            offset += 8;
          } else if (arg.type == eTRArg_WString) {
            std::string text;
            while (offset + 4 <= size) {
              uint32_t unit;
              memcpy(&unit, p + offset, 4);
              offset += 4;
              if (unit == 0) break;
              text += static_cast<char>(unit);
            }
            data.strings.push_back(text);
          } else {
            const char* start = reinterpret_cast<const char*>(p + offset);
            size_t n = strnlen(start, size - offset);
            data.strings.emplace_back(start, n);
            offset += n + 1;
          }
        }
      }
      const uint8_t extensions = p[size - 1];
      if (extensions >= 1 && size >= sizeof(fixed) + 4 && p[size - 2] == kTRTrace_Ext_Module) {
        uint16_t module;
        memcpy(&module, p + size - 4, 2);
        if (state->modules.find(module) == state->modules.end())
          Fail(file, "data record of an unknown module");
      }
      file->data.push_back(data);
      break;
    }
    default:
      break;
  }
}

}  // namespace

TrdFile Read_Trd_File(const std::string& path) {
  TrdFile file;
  file.path = path;
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  if (bytes.size() < sizeof(sTRD_File_Header)) {
    Fail(&file, "no file header");
    return file;
  }
  memcpy(&file.header, bytes.data(), sizeof(file.header));
  if (file.header.magic != kTRD_Magic) Fail(&file, "bad magic");

  std::map<uint32_t, ChannelState> channels;
  size_t offset = sizeof(sTRD_File_Header);
  while (offset < bytes.size()) {
    if (offset + 4 > bytes.size()) {
      Fail(&file, "cut user header");
      break;
    }
    uint32_t word;
    memcpy(&word, bytes.data() + offset, 4);
    const sTRC_User_Header user{word};
    const uint32_t length = user.Length();
    if (length < 4 || offset + length > bytes.size()) {
      Fail(&file, "cut hand-over at offset " + std::to_string(offset));
      break;
    }
    const uint32_t channel = user.Channel();
    size_t record = offset + 4;
    const size_t end = offset + length;
    while (record < end) {
      if (record + 4 > end) {
        Fail(&file, "cut record header");
        break;
      }
      uint32_t header;
      memcpy(&header, bytes.data() + record, 4);
      const uint32_t size = TRTrace_Header_Size(header);
      if (size < 4 || record + size > end) {
        Fail(&file, "record crosses its hand-over");
        break;
      }
      Decode_Record(&file, &channels[channel], channel, bytes.data() + record, size);
      record += size;
    }
    offset = end;
  }
  return file;
}

std::vector<std::string> List_Trd_Files(const std::string& directory) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(directory.c_str())) {
    while (dirent* entry = readdir(dir)) {
      const size_t n = strlen(entry->d_name);
      if (n > 4 && strcasecmp(entry->d_name + n - 4, ".trd") == 0) names.push_back(entry->d_name);
    }
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  for (std::string& name : names) name = directory + "/" + name;
  return names;
}

std::vector<TrdFile> Read_Trd_Directory(const std::string& directory) {
  std::vector<TrdFile> files;
  for (const std::string& path : List_Trd_Files(directory)) files.push_back(Read_Trd_File(path));
  return files;
}

}  // namespace mqw_test
