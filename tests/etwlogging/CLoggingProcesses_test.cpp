// Several processes log into one folder at once, filling one file or many, while another
// process reads the index in a loop: every line of every process lands once, whole and in its
// order, no file is started anew over lines, and no read meets a half-stored index.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <map>
#include <string>
#include <vector>

#include "basalt/CObfuscatedIniReader.h"
#include "basalt/UniqueHandle.h"
#include "tests/etwlogging/logwriter/LogWriter.h"
#include "tests/support/TestFiles.h"

namespace {

constexpr unsigned kWriters = 4;
constexpr DWORD kProgramWaitMs = 120000;

std::wstring Number(unsigned long n) { return std::to_wstring(n); }

class LogFolderProcessesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static unsigned counter = 0;
    wchar_t temp[MAX_PATH];
    ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
    tag_ = Number(GetCurrentProcessId()) + L"_" + Number(++counter);
    root_ = std::wstring(temp) + L"CLoggingProcesses_" + tag_;
    folder_ =
        root_ + L"\\Telvan\\QXLOGS\\" + logwriter::kGroup + L"\\" + logwriter::kModuleBaseName;
    for (const std::wstring& path : {root_, root_ + L"\\Telvan", root_ + L"\\Telvan\\QXLOGS",
                                     root_ + L"\\Telvan\\QXLOGS\\" + logwriter::kGroup, folder_}) {
      ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr)) << GetLastError();
    }
  }
  void TearDown() override { testsupport::DeleteTree(root_); }

  std::wstring LogFile(unsigned index) const {
    std::wstring number = Number(index);
    number.insert(0, 3 - number.size(), L'0');
    return folder_ + L"\\" + logwriter::kModuleBaseName + number + L".log";
  }
  std::wstring FolderIni() const { return folder_ + L"\\log.ini"; }

  void SetIniInt(const wchar_t* name, int value) const {
    Basalt::CObfuscatedIniReader ini;
    (void)ini.Load(FolderIni());
    ASSERT_TRUE(ini.SetIntValue(L"Config", name, value));
  }

  // Starts the log-writing program with |arguments|; null when it cannot be started.
  static Basalt::UniqueKernelHandle Start(const std::wstring& arguments) {
    std::wstring command = L"\"" + testsupport::ExeFolder() + L"LogWriter.exe\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
      return Basalt::UniqueKernelHandle();
    }
    CloseHandle(process.hThread);
    return Basalt::UniqueKernelHandle(process.hProcess);
  }

  static DWORD ExitCodeOf(const Basalt::UniqueKernelHandle& process) {
    DWORD code = 0xFFFFFFFF;
    if (WaitForSingleObject(process.get(), kProgramWaitMs) == WAIT_OBJECT_0) {
      GetExitCodeProcess(process.get(), &code);
    } else {
      TerminateProcess(process.get(), 0xFFFFFFFF);
    }
    return code;
  }

  // kWriters processes write |lines| lines each, all let go at once, with a process reading
  // the index in a loop beside them until they are done.
  void RunWriters(unsigned lines) const {
    const std::wstring startName = L"LogWriterStart_" + tag_;
    const std::wstring stopName = L"LogWriterStop_" + tag_;
    Basalt::UniqueKernelHandle start(CreateEventW(nullptr, TRUE, FALSE, startName.c_str()));
    Basalt::UniqueKernelHandle stop(CreateEventW(nullptr, TRUE, FALSE, stopName.c_str()));
    ASSERT_TRUE(start && stop);
    const std::wstring where = L" \"" + root_ + L"\" ";
    Basalt::UniqueKernelHandle reader = Start(L"read" + where + stopName);
    ASSERT_TRUE(reader);
    std::vector<Basalt::UniqueKernelHandle> writers;
    for (unsigned tag = 0; tag < kWriters; ++tag) {
      writers.push_back(
          Start(L"write" + where + startName + L" " + Number(tag) + L" " + Number(lines)));
      ASSERT_TRUE(writers.back());
    }
    ASSERT_TRUE(SetEvent(start.get()));
    for (unsigned tag = 0; tag < kWriters; ++tag) {
      EXPECT_EQ(ExitCodeOf(writers[tag]), 0u) << "writer " << tag << ": failed writes";
    }
    ASSERT_TRUE(SetEvent(stop.get()));
    EXPECT_EQ(ExitCodeOf(reader), 0u) << "the reader met a half-stored index or none";
  }

  // Reads files 000 on while they exist: each begins with the byte-order mark and holds
  // whole lines only, each writer's lines follow one another from 0 to |lines| - 1, and each
  // line is there once.
  // The number of files.
  unsigned ExpectEveryLineOnceWholeAndInOrder(unsigned lines) const {
    const std::wstring fields = L" -- (Information)$ [  LogWriter.exe]$ ";
    std::map<unsigned, unsigned> nextOf;
    std::map<unsigned, unsigned> landed;
    unsigned files = 0;
    unsigned broken = 0;
    unsigned notes = 0;
    for (; testsupport::FileExists(LogFile(files)); ++files) {
      const std::string bytes = testsupport::ReadFileBytes(LogFile(files));
      EXPECT_TRUE(bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
                  static_cast<unsigned char>(bytes[1]) == 0xFE && bytes.size() % 2 == 0)
          << "file " << files;
      if (bytes.size() < 2) continue;
      const std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data() + 2),
                              (bytes.size() - 2) / 2);
      for (size_t begin = 0; begin < text.size();) {
        size_t end = text.find(L"\r\n", begin);
        if (end == std::wstring::npos) end = text.size();
        const std::wstring line = text.substr(begin, end - begin);
        begin = end + 2;
        // A store of the index that a reader held off for too long is said once, in a line
        // of its own; the lines go on with the index held.
        if (line.find(L" -- (Error)$ [  LogWriter.exe]$ Cannot store LastLogIdx ") == 23) {
          ++notes;
          continue;
        }
        unsigned tag = 0;
        unsigned n = 0;
        // The stamp is "MM/DD/YYYY hh:mm:ss AM$": 23 characters.
        const bool whole =
            line.size() > 23 + fields.size() && line.compare(23, fields.size(), fields) == 0 &&
            swscanf(line.c_str() + 23 + fields.size(), L"writer %u line %u", &tag, &n) == 2 &&
            line.substr(23 + fields.size()) == logwriter::Message(tag, n);
        if (!whole || nextOf[tag] != n) {
          if (broken++ < 5) {
            ADD_FAILURE() << "file " << files << ": "
                          << (whole ? "out of order or twice: " : "not a whole line: ")
                          << std::string(line.begin(), line.end()).substr(0, 120);
          }
          if (!whole) continue;
        }
        nextOf[tag] = n + 1;
        ++landed[tag];
      }
    }
    EXPECT_EQ(broken, 0u);
    if (notes != 0) std::printf("%u lines said that the index was held\n", notes);
    for (unsigned tag = 0; tag < kWriters; ++tag) {
      EXPECT_EQ(landed[tag], lines) << "whole lines of writer " << tag;
    }
    return files;
  }

  std::wstring tag_;
  std::wstring root_;
  std::wstring folder_;
};

TEST_F(LogFolderProcessesTest, OneFileTakesEveryLineOnceAndWhole) {
  SetIniInt(L"MaxSize", 0xA00000);
  SetIniInt(L"MaxEntries", 50);
  constexpr unsigned kLines = 2000;
  RunWriters(kLines);
  EXPECT_EQ(ExpectEveryLineOnceWholeAndInOrder(kLines), 1u);
}

TEST_F(LogFolderProcessesTest, FilesStartedOnTheWayLoseNoLine) {
  SetIniInt(L"MaxEntries", 50);  // room for every file: none is started anew by design
  constexpr unsigned kLines = 2500;
  RunWriters(kLines);
  const unsigned files = ExpectEveryLineOnceWholeAndInOrder(kLines);
  EXPECT_GE(files, 10u);
  // Each file was left only when full, and the stored index names the last one.
  for (unsigned index = 0; index + 1 < files; ++index) {
    EXPECT_GE(testsupport::ReadFileBytes(LogFile(index)).size(), 0x40000u) << "file " << index;
  }
  Basalt::CObfuscatedIniReader ini;
  int stored = -1;
  ASSERT_TRUE(ini.Load(FolderIni()));
  EXPECT_TRUE(ini.GetIntValue(L"Config", L"LastLogIdx", stored));
  EXPECT_EQ(stored, static_cast<int>(files) - 1);
  int entries = 0;
  EXPECT_TRUE(ini.GetIntValue(L"Config", L"MaxEntries", entries));
  EXPECT_EQ(entries, 50);
}

}  // namespace
