// The verdicts kept between caller checks: used again only for what they judged, bounded, and
// safe on many threads at once.
#include "trust/CallerVerdictCache.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "TrustTestSupport.h"
#include "basalt/UniqueHandle.h"

namespace {

CallerVerdictKey KeyOf(DWORD processId) {
  CallerVerdictKey key;
  key.processId = processId;
  key.processCreation = 1000 + processId;
  key.volume = 7;
  key.fileId[0] = static_cast<BYTE>(processId);
  key.lastWrite = 42;
  key.listGeneration = 3;
  return key;
}

TEST(CallerVerdictCache, AVerdictServesOnlyTheKeyItWasMadeFor) {
  CCallerVerdictCache cache(8);
  const CallerVerdictKey kept = KeyOf(1);
  cache.Store(kept, 0);
  DWORD verdict = 99;
  ASSERT_TRUE(cache.Find(kept, &verdict));
  EXPECT_EQ(0u, verdict);

  struct Case {
    const char* what;
    void (*change)(CallerVerdictKey&);
  } const cases[] = {
      {"another process", [](CallerVerdictKey& k) { k.processId = 2; }},
      {"a process of the same ID started later", [](CallerVerdictKey& k) { ++k.processCreation; }},
      {"a file on another volume", [](CallerVerdictKey& k) { ++k.volume; }},
      {"another file", [](CallerVerdictKey& k) { k.fileId[15] = 1; }},
      {"the file written since", [](CallerVerdictKey& k) { ++k.lastWrite; }},
      {"other trusted lists", [](CallerVerdictKey& k) { ++k.listGeneration; }},
  };
  for (const Case& c : cases) {
    CallerVerdictKey other = kept;
    c.change(other);
    verdict = 99;
    EXPECT_FALSE(cache.Find(other, &verdict)) << c.what;
    EXPECT_EQ(99u, verdict) << c.what;
  }
  cache.Store(kept, 5);  // in place of the verdict kept before
  ASSERT_TRUE(cache.Find(kept, &verdict));
  EXPECT_EQ(5u, verdict);
  EXPECT_EQ(1u, cache.Size());
}

TEST(CallerVerdictCache, KeepsAtMostItsCapacityAndDropsTheLeastRecentlyUsed) {
  CCallerVerdictCache cache(3);
  for (DWORD id = 1; id <= 3; ++id) cache.Store(KeyOf(id), id);
  DWORD verdict = 0;
  ASSERT_TRUE(cache.Find(KeyOf(1), &verdict));  // 2 is now the least recently used
  cache.Store(KeyOf(4), 4);
  EXPECT_EQ(3u, cache.Size());
  EXPECT_FALSE(cache.Find(KeyOf(2), &verdict));
  for (DWORD id : {1u, 3u, 4u}) {
    ASSERT_TRUE(cache.Find(KeyOf(id), &verdict)) << id;
    EXPECT_EQ(id, verdict);
  }
}

// Threads that find and store verdicts of their own clients at once: every verdict found is the
// one stored for its key, and the bound holds throughout.
TEST(CallerVerdictCache, ServesManyThreadsAtOnce) {
  struct Work {
    CCallerVerdictCache cache{64};
    LONG wrong = 0;
    LONG overfull = 0;
    LONG next = 0;
  } work;
  const auto run = [](void* param) -> DWORD {
    auto* w = static_cast<Work*>(param);
    const DWORD first = static_cast<DWORD>(InterlockedIncrement(&w->next)) * 1000;
    for (DWORD i = 0; i < 20000; ++i) {
      const CallerVerdictKey key = KeyOf(first + i % 50);
      DWORD verdict = 0;
      if (w->cache.Find(key, &verdict)) {
        if (verdict != key.processId % 7) InterlockedIncrement(&w->wrong);
      } else {
        w->cache.Store(key, key.processId % 7);
      }
      if (i % 100 == 0 && w->cache.Size() > 64) InterlockedIncrement(&w->overfull);
    }
    return 0;
  };
  HANDLE threads[8];
  for (HANDLE& thread : threads) {
    thread = CreateThread(nullptr, 0, run, &work, 0, nullptr);
    ASSERT_NE(nullptr, thread);
  }
  WaitForMultipleObjects(8, threads, TRUE, INFINITE);
  for (HANDLE thread : threads) CloseHandle(thread);
  EXPECT_EQ(0, work.wrong);
  EXPECT_EQ(0, work.overfull);
  EXPECT_EQ(64u, work.cache.Size());
}

Basalt::UniqueFile OpenForReading(const std::wstring& path) {
  return Basalt::UniqueFile(CreateFileW(path.c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                        0, nullptr));
}

// The key of a real process and file names that process, that file as it is now, and the trusted
// lists in force.
TEST(CallerVerdictKey, NamesTheProcessTheFileAsItIsAndTheLists) {
  const std::wstring folder = trust_test::MakeScratchFolder(L"verdictkey");
  const std::wstring a = folder + L"\\a.exe", b = folder + L"\\b.exe";
  ASSERT_TRUE(trust_test::WriteFileBytes(a, "a"));
  ASSERT_TRUE(trust_test::WriteFileBytes(b, "a"));
  Basalt::UniqueKernelHandle self(
      OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, GetCurrentProcessId()));
  ASSERT_TRUE(self);
  const auto keyOf = [&](const std::wstring& path) {
    CallerVerdictKey key;
    Basalt::UniqueFile file = OpenForReading(path);
    EXPECT_TRUE(file);
    EXPECT_TRUE(MakeCallerVerdictKey(self.get(), file.get(), &key));
    return key;
  };
  const CallerVerdictKey first = keyOf(a);
  EXPECT_EQ(GetCurrentProcessId(), first.processId);
  EXPECT_NE(0u, first.processCreation);
  EXPECT_TRUE(first == keyOf(a)) << "the same file opened again";
  EXPECT_FALSE(first == keyOf(b)) << "another file of the same content";

  // Written, with a later time.
  Basalt::UniqueFile writer(
      CreateFileW(a.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(writer);
  FILETIME later = {};
  GetSystemTimeAsFileTime(&later);
  later.dwHighDateTime += 1;
  ASSERT_TRUE(SetFileTime(writer.get(), nullptr, nullptr, &later));
  writer.reset();
  EXPECT_FALSE(first == keyOf(a)) << "written since";

  const CallerVerdictKey before = keyOf(a);
  trust_test::SetInstalledListFile(nullptr);  // the installed list drops what it had
  EXPECT_FALSE(before == keyOf(a)) << "other trusted lists";
  trust_test::RemoveTree(folder);
}

}  // namespace
