// The "/TR.Help" text: printed byte for byte, whether or not a client is created.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include <mqtt-wrapper/TR.h>

#include "support/child_process.h"

namespace {

// The text exactly as a user sees it on standard output.
const std::string kExpectedHelp = R"TRHELP(
TR arguments:
 -General arguments: 
   /TR.Sink   - Select data flow direction, there are few values:
                * Network - to trace server over network(fast and efficient)
                * FileBin - to local binary file (fast and efficient)
                * FileTxt - to local text file (slow comparing to FileBin/Network)
                * Syslog  - to syslog server (slow comparing to FileBin/Network)
                * Console - to console (slow comparing to FileBin/Network)
                * Auto    - to trace server if connection is istablished, otherwise to file
                            N.B.: connection timeout is 250 ms !
                * Null    - drop all incoming data
                Examples:
                /TR.Sink=Network
                /TR.Sink=File
                /TR.Sink=Null
   /TR.Name   - TR client name, max length is about 96 characters, by default it is
                name of the  host process. Useful in case when TR is used from scrip
                language and name of host process is not suitable - for example Python.exe
                Example:
                /TR.Name=Client
   /TR.On     - Enable/Disable TR network engine, By default TR is on
                Examples:
                /TR.On=1
                /TR.On=0
   /TR.Verb   - Set logging verbosity level. This option allow to write
                to text log file or stdout all internal engine messages.
                Do not specify /TR.Verb parameter to switch off the logging
                TR internal logging has next verbosity levels:
                0 : Info
                1 : Debug
                2 : Warnings
                3 : Errors
                4 : Critical
                Example: /TR.Verb=4
   /TR.Trc.Verb- Set verbosity level for all trace streams and associated modules
                Has next verbosity levels:
                0 : Trace
                1 : Debug
                2 : Info
                3 : Warnings
                4 : Errors
                5 : Critical
                Example: /TR.Trc.Verb=4
   /TR.Pool   - Set size of the internal buffers pool in kilobytes. Minimal 16(kb)
                maximal is limited by your OS and HW. Default value = 8mb
                Example, 1 Mb allocation: /TR.Pool=1024
 -Sink=Network, -Sink=Syslog : 
   /TR.Addr   - Set server address (IPV4, IPV6, NetBios name)
                Examples:
                /TR.Addr=127.0.0.1
                /TR.Addr=::1
                /TR.Addr=MyPC
                Default address is 127.0.0.1
   /TR.Port   - Set server port, default port is 9009
                Example: /TR.Port=9010
   /TR.PSize  - Set packet size. Min value 512 bytes, Max - 65535, Default - 512
                You should specify optimum packet size
                for your network, usually it is MTU.
                Example: /TR.PSize=1476
 -Sink=FileBin, -Sink=FileTxt: 
   /TR.Dir    - Directory where TR files will be created, if it is not specified
                process directory will be used.
                Examples:
                /TR.Dir=/home/user/logs/
                /TR.Dir=C:\Logs\
   /TR.Files  - defines maximum TR logs files in destination folder
                in case if count of files is larger than specified value
                oldest files will be removed
   /TR.Roll   - use it to specify files rolling value & type. There are 2 rolling types:
                * Rolling by file size, measured in megabytes
                * Rolling by time, measured in hours, 1000 hours max
                Rolling value consists of 2 parts:
                * digit
                * postfix: hr, mb
                Examples:
                /TR.Roll=100mb
                /TR.Roll=24hr
 -Sink=FileTxt, -Sink=Console, -Sink=Syslog: 
   /TR.Format - log message format sting, example: /TR.Format="{%cn} [%tf] %lv %ms"
                * cn - channel name 
                * id - message ID
                * ix - message index
                * tf - full time YY.MM.DD HH.MM.SS.mils.mics.nans
                * tm - time medium HH.MM.SS.mils.mics.nans
                * ts - time short MM.SS.mils.mics.nans
                * td - time difference between current and prev. one +SS.mils.mics.nans
                * tc - time stamp in 100 nanoseconds intervals
                * lv - level (error, warning, etc)
                * ti - thread ID
                * tn - thread name
                * cc - CPU core
                * mi - module ID
                * mn - module name
                * ff - file path + name
                * fs - file name
                * fl - file line
                * fn - function name
                * ms - message
 -Sink=Null: 
   there is no arguments
)TRHELP";

struct Outcome {
  std::string output;
  bool created;
  ITR_Client::eType type;
};

Outcome Create_Capturing(const char* args) {
  ITR_Client* client = nullptr;
  Outcome outcome{mqw_test::Capture_Stdout([&] { client = TR_Create_Client(args); }), false,
                  ITR_Client::eNetwork};
  if (client != nullptr) {
    outcome.created = true;
    outcome.type = client->Get_Type();
    client->Release();
  }
  return outcome;
}

TEST(HelpText, PrintedByteForByteWheneverAnOptionBeginsWithHelp) {
  struct Case {
    const char* args;
    bool help;
    bool created;  // a null sink is expected when created
  } cases[] = {
      {"/TR.Help /TR.Sink=Null", true, true},
      {"/TR.Help=1 /TR.Sink=Null", true, true},
      {"/TR.Sink=Null /TR.Helpme", true, true},
      {"/TR.On=0 /TR.Help", true, false},  // printed although nothing is created
      {"/TR.Help /TR.Addr=no-such-host.invalid", true,
       false},  // a network sink that cannot be made
      {"/TR.help /TR.Sink=Null", false, true},
      {"/TR.Sink=Null x/TR.Help", false, true},
      {"/TR.Sink=Null", false, true},
  };
  for (const auto& c : cases) {
    Outcome outcome = Create_Capturing(c.args);
    if (c.help) {
      EXPECT_EQ(outcome.output, kExpectedHelp.substr(1)) << c.args;
    } else {
      EXPECT_EQ(outcome.output, "") << c.args;
    }
    EXPECT_EQ(outcome.created, c.created) << c.args;
    if (c.created) {
      EXPECT_EQ(outcome.type, ITR_Client::eNull) << c.args;
    }
  }
}

}  // namespace
