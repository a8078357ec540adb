// The log tee. The interruption of a run is tested in Interruption_posix_test.cpp and, on
// Windows, by runs of the program.
#include "driver/Stream_splitter.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace {

using StreamSplitter_ns::TeeStream;

// A target that records each character with its name, into a record shared by two targets,
// and refuses characters once its room is used up.
class RecordingBuf : public std::streambuf {
 public:
  RecordingBuf(char name, std::string& record, size_t room = std::string::npos)
      : name_(name), record_(record), room_(room) {}

  int syncs = 0;
  int syncResult = 0;

 protected:
  int_type overflow(int_type c) override {
    if (room_ == 0) {
      return traits_type::eof();
    }
    --room_;
    record_ += name_;
    record_ += traits_type::to_char_type(c);
    return c;
  }
  int sync() override {
    ++syncs;
    return syncResult;
  }

 private:
  char name_;
  std::string& record_;
  size_t room_;
};

TEST(Tee, EachCharacterGoesToFirstThenSecond) {
  std::string record;
  RecordingBuf log('L', record);
  RecordingBuf console('C', record);
  TeeStream tee(&log, &console);
  tee << "ab" << 7 << '\n';
  EXPECT_TRUE(tee.good());
  EXPECT_EQ(record, "LaCaLbCbL7C7L\nC\n");

  std::ostringstream first;
  std::ostringstream second;
  TeeStream plain(first.rdbuf(), second.rdbuf());
  plain << "Found : " << std::hex << std::uppercase << 255 << std::endl;
  EXPECT_EQ(first.str(), "Found : FF\n");
  EXPECT_EQ(second.str(), "Found : FF\n");
}

// A log that refuses a character is dropped: the console gets that character and the rest.
TEST(Tee, RefusedCharacterDropsTheFirstAndTheSecondGoesOn) {
  std::string record;
  RecordingBuf log('L', record, 2);
  RecordingBuf console('C', record);
  TeeStream tee(&log, &console);
  tee << "abc";
  EXPECT_TRUE(tee.good());
  EXPECT_TRUE(tee.LogFailed());
  tee << "d" << std::flush;
  EXPECT_EQ(record, "LaCaLbCbCcCd");
  EXPECT_EQ(log.syncs, 0);
  EXPECT_EQ(console.syncs, 1);

  // A log with room gets every character.
  record.clear();
  RecordingBuf roomy('L', record);
  TeeStream both(&roomy, &console);
  both << "x";
  EXPECT_FALSE(both.LogFailed());
  EXPECT_EQ(record, "LxCx");

  // A console that refuses a character fails the stream.
  record.clear();
  RecordingBuf fullConsole('C', record, 1);
  RecordingBuf openLog('L', record);
  TeeStream second(&openLog, &fullConsole);
  second << "ab";
  EXPECT_TRUE(second.bad());
  EXPECT_FALSE(second.LogFailed());
  EXPECT_EQ(record, "LaCaLb");
}

TEST(Tee, ALogThatFailsToSyncIsDroppedAndTheConsoleGoesOn) {
  std::string record;
  RecordingBuf log('L', record);
  RecordingBuf console('C', record);
  TeeStream tee(&log, &console);
  tee << "x" << std::flush;
  EXPECT_EQ(log.syncs, 1);
  EXPECT_EQ(console.syncs, 1);
  EXPECT_TRUE(tee.good());

  // A log that fails to sync (a full disk) does not hold the console back, then or later.
  log.syncResult = -1;
  tee << "y" << std::flush;
  EXPECT_EQ(log.syncs, 2);
  EXPECT_EQ(console.syncs, 2);
  EXPECT_TRUE(tee.good());
  EXPECT_TRUE(tee.LogFailed());
  tee << "z" << std::flush;
  EXPECT_EQ(log.syncs, 2);
  EXPECT_EQ(record, "LxCxLyCyCz");

  // Restored, the log is written again; a console that fails to sync fails the stream.
  tee.RestoreLog();
  log.syncResult = 0;
  EXPECT_FALSE(tee.LogFailed());
  console.syncResult = -1;
  tee.flush();
  EXPECT_EQ(log.syncs, 3);
  EXPECT_TRUE(tee.bad());
}

}  // namespace
