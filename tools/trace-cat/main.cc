// trace-cat: prints the trace messages of binary trace files (".trd") as text lines.
//
// Each file is a 1044-byte header followed by the user-data stream of the binary file sink; the
// file is read by CTrace_File_Reader, which parses and renders the stream with the same code as
// the text sinks (CStreamParser, CLineFormat), so a line reads exactly as a text sink with the
// same "/TR.Format=" template prints it. Every file is read with a fresh reader: a file is
// complete by itself (channels describe themselves again at the start of each file). Only
// regular files are read: a FIFO or device named on the command line is refused, so that the
// tool never blocks in open or reads without end.
//
// Exit status: 0 when every file was read completely; 1 when a file is missing, damaged or
// truncated (each problem is reported on standard error with the file name and offset); 2 for
// wrong usage.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <mqtt-wrapper/TRTextSink.h>

#include "mqw_version.h"
#include "trace/decode/trace_file_reader.h"
#include "trace/format/trace_level.h"

namespace {

constexpr size_t kChunk = 1 << 16;

const char kUsage[] =
    "Usage: trace-cat [options] <file.trd | directory>...\n"
    "Prints the messages of binary trace files as text lines. A directory stands for its "
    "\"*.trd\"\n"
    "files in name order (the order in which they were written).\n"
    "\n"
    "Options:\n"
    "  --format=TEMPLATE  line template with the /TR.Format= elements (%cn channel, %id trace ID,\n"
    "                     %ix sequence, %tf %tm %ts date and time, %td time since the channel's\n"
    "                     start, %tc 100-ns time count, %lv level, %ti thread ID, %tn thread "
    "name,\n"
    "                     %cc CPU, %mi module ID, %mn module, %ff file path, %fs file name,\n"
    "                     %fl line, %fn function, %ms message); default:\n"
    "                     \"%cn #%ix [%tf] %lv Tr:#%ti:%tn CPU:%cc Md:%mn {%fs:%fl:%fn} %ms\"\n"
    "  --level=LEVEL      only messages of at least this level: 0..5 or trace, debug, info,\n"
    "                     warning, error, critical\n"
    "  --channel=NAME     only messages of this channel (may be repeated)\n"
    "  --module=NAME      only messages of this module (may be repeated)\n"
    "  --thread=ID|NAME   only messages of this thread ID (decimal or 0x hex) or thread name\n"
    "                     (may be repeated)\n"
    "  -f, --follow       after the last file, wait for more data and print it as it is written;\n"
    "                     with a directory, move on to newer files as they appear\n"
    "  -h, --help         show this text\n"
    "  --version          show the version\n"
    "\n"
    "Exit status: 0 all files read completely; 1 a file was missing, damaged or truncated\n"
    "(reported with its name and offset); 2 wrong usage.\n";

struct sFilters {
  uint32_t min_level = 0;
  std::vector<std::string> channels;
  std::vector<std::string> modules;
  std::vector<uint32_t> thread_ids;
  std::vector<std::string> thread_names;
};

bool Matches(const std::vector<std::string>& wanted, const char* text, uint64_t length) {
  if (wanted.empty()) return true;
  for (const std::string& name : wanted) {
    if (name.size() == length && memcmp(name.data(), text, length) == 0) return true;
  }
  return false;
}

// Writes the lines that pass the filters to standard output.
class CCatOutput : public CClTextSink {
 public:
  explicit CCatOutput(const sFilters& filters) : m_Filters(filters) {}
  uint32_t Initialize(char**, int) override { return 0; }
  uint32_t Log(const sLog* log, const char* line, uint64_t length) override {
    if (log->level < m_Filters.min_level) return 0;
    if (!Matches(m_Filters.channels, log->channel_name, log->channel_name_length)) return 0;
    if (!Matches(m_Filters.modules, log->module_name, log->module_name_length)) return 0;
    if (!m_Filters.thread_ids.empty() || !m_Filters.thread_names.empty()) {
      bool by_id = std::find(m_Filters.thread_ids.begin(), m_Filters.thread_ids.end(),
                             log->thread_id) != m_Filters.thread_ids.end();
      bool by_name = !m_Filters.thread_names.empty() &&
                     Matches(m_Filters.thread_names, log->thread_name, log->thread_name_length);
      if (!by_id && !by_name) return 0;
    }
    fwrite(line, 1, length, stdout);
    fputc('\n', stdout);
    return 0;
  }
  uint32_t DumpBuffers() override {
    fflush(stdout);
    return 0;
  }

 private:
  const sFilters& m_Filters;
};

bool Is_Directory(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The "*.trd" files of `directory` (case ignored), sorted by name.
std::vector<std::string> Trace_Files(const std::string& directory) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(directory.c_str())) {
    while (dirent* entry = readdir(dir)) {
      if (fnmatch("*.trd", entry->d_name, FNM_CASEFOLD) != 0) continue;
      std::string path = directory + "/" + entry->d_name;
      struct stat info;
      if (stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode)) names.push_back(entry->d_name);
    }
    closedir(dir);
  }
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    return strcasecmp(a.c_str(), b.c_str()) < 0;
  });
  for (std::string& name : names) name = directory + "/" + name;
  return names;
}

class CReader {
 public:
  CReader(const char* format, const sFilters& filters) : m_Format(format), m_Output(filters) {}

  // Prints `path`; with `follow`, keeps reading as it grows until `stop` says to move on.
  // Returns false after a reported problem.
  template <class Stop>
  bool Read(const std::string& path, bool follow, Stop stop) {
    // Non-blocking open: opening a FIFO for reading would otherwise wait for a writer forever.
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
      fprintf(stderr, "trace-cat: %s: cannot open: %s\n", path.c_str(), strerror(errno));
      return false;
    }
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
      fprintf(stderr, "trace-cat: %s: not a regular file; only binary trace files are read\n",
              path.c_str());
      close(fd);
      return false;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    bool ok = Read_Open(fd, path, follow, stop);
    close(fd);
    m_Output.DumpBuffers();
    return ok;
  }

 private:
  template <class Stop>
  bool Read_Open(int fd, const std::string& path, bool follow, Stop stop) {
    CTrace_File_Reader reader;
    if (!reader.Init(m_Format, &m_Output)) {
      fprintf(stderr, "trace-cat: %s\n", reader.Error_Text());
      return false;
    }
    std::vector<uint8_t> buffer(kChunk);
    for (;;) {
      ssize_t n = read(fd, buffer.data(), buffer.size());
      if (n < 0) {
        if (errno == EINTR) continue;
        fprintf(stderr, "trace-cat: %s: read error at offset %llu: %s\n", path.c_str(),
                static_cast<unsigned long long>(reader.File_Offset()), strerror(errno));
        return false;
      }
      if (n == 0) {
        if (follow && !stop()) {
          m_Output.DumpBuffers();
          usleep(200000);
          continue;
        }
        break;
      }
      if (!reader.Feed(buffer.data(), static_cast<uint64_t>(n))) break;
    }
    if (!reader.End()) {
      fprintf(stderr, "trace-cat: %s: %s\n", path.c_str(), reader.Error_Text());
      return false;
    }
    if (reader.Orphan_Records()) {
      fprintf(
          stderr,
          "trace-cat: %s: note: %llu records of channels not described in this file were skipped\n",
          path.c_str(), static_cast<unsigned long long>(reader.Orphan_Records()));
    }
    return true;
  }

  const char* m_Format;
  CCatOutput m_Output;
};

// Value of "--name=value" or "--name value" at argv[*i]; null when `arg` is not that option.
const char* Option_Value(const char* name, int argc, char** argv, int* i, bool* missing) {
  const char* arg = argv[*i];
  size_t length = strlen(name);
  if (strncmp(arg, name, length) != 0) return nullptr;
  if (arg[length] == '=') return arg + length + 1;
  if (arg[length] != '\0') return nullptr;
  if (*i + 1 >= argc) {
    *missing = true;
    return nullptr;
  }
  return argv[++*i];
}

}  // namespace

int main(int argc, char** argv) {
  sFilters filters;
  const char* format = nullptr;
  bool follow = false;
  std::vector<std::string> inputs;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    bool missing = false;
    const char* value = nullptr;
    if (strcmp(arg, "-h") == 0 || strcmp(arg, "--help") == 0) {
      fputs(kUsage, stdout);
      return 0;
    } else if (strcmp(arg, "--version") == 0) {
      fputs("trace-cat " MQW_VERSION "\n", stdout);
      return 0;
    } else if (strcmp(arg, "-f") == 0 || strcmp(arg, "--follow") == 0) {
      follow = true;
    } else if ((value = Option_Value("--format", argc, argv, &i, &missing))) {
      format = value;
    } else if ((value = Option_Value("--level", argc, argv, &i, &missing))) {
      if (!TRTrace_Parse_Level(value, &filters.min_level)) {
        fprintf(stderr,
                "trace-cat: unknown level \"%s\" (0..5 or trace, debug, info, warning, error, "
                "critical)\n",
                value);
        return 2;
      }
    } else if ((value = Option_Value("--channel", argc, argv, &i, &missing))) {
      filters.channels.push_back(value);
    } else if ((value = Option_Value("--module", argc, argv, &i, &missing))) {
      filters.modules.push_back(value);
    } else if ((value = Option_Value("--thread", argc, argv, &i, &missing))) {
      char* end = nullptr;
      errno = 0;
      unsigned long id = strtoul(value, &end, 0);
      if (*value && end && *end == '\0' && errno == 0 && id <= 0xFFFFFFFFul) {
        filters.thread_ids.push_back(static_cast<uint32_t>(id));
      } else {
        filters.thread_names.push_back(value);
      }
    } else if (strcmp(arg, "--") == 0) {
      for (++i; i < argc; ++i) inputs.push_back(argv[i]);
    } else if (arg[0] == '-' && arg[1] != '\0') {
      fprintf(stderr, "trace-cat: unknown option \"%s\"; see trace-cat --help\n", arg);
      return 2;
    } else {
      inputs.push_back(arg);
    }
    if (missing) {
      fprintf(stderr, "trace-cat: option \"%s\" needs a value\n", arg);
      return 2;
    }
  }
  if (inputs.empty()) {
    fputs(kUsage, stderr);
    return 2;
  }

  // Expand directories; remember the last one for --follow.
  std::vector<std::string> files;
  std::string follow_directory;
  int status = 0;
  for (const std::string& input : inputs) {
    if (Is_Directory(input)) {
      std::vector<std::string> found = Trace_Files(input);
      if (found.empty() && !follow) {
        fprintf(stderr, "trace-cat: %s: no \"*.trd\" files in this directory\n", input.c_str());
        status = 1;
      }
      files.insert(files.end(), found.begin(), found.end());
      follow_directory = input;
    } else {
      files.push_back(input);
      follow_directory.clear();
    }
  }

  CReader reader(format, filters);
  // Follows `current`; with a directory, moves on whenever a newer file appears there.
  auto follow_from = [&](std::string current) {
    for (;;) {
      std::string next;
      auto newer = [&] {
        if (follow_directory.empty()) return false;
        for (const std::string& candidate : Trace_Files(follow_directory)) {
          if (strcasecmp(candidate.c_str(), current.c_str()) > 0) {
            next = candidate;
            return true;
          }
        }
        return false;
      };
      if (!reader.Read(current, true, newer)) status = 1;
      if (next.empty()) return;
      current = next;
    }
  };
  for (size_t i = 0; i < files.size(); ++i) {
    if (follow && i + 1 == files.size()) {
      follow_from(files[i]);
    } else if (!reader.Read(files[i], false, [] { return true; })) {
      status = 1;
    }
  }
  if (follow && files.empty() && !follow_directory.empty()) {
    // An empty directory: wait for its first file.
    std::vector<std::string> found;
    while ((found = Trace_Files(follow_directory)).empty()) usleep(200000);
    follow_from(found.front());
  }
  fflush(stdout);
  return status;
}
