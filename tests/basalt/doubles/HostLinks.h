// Links for tests under Wine, which makes neither junctions nor file links: a Linux symbolic
// link stands for a junction (Wine shows it as a reparse point by its path and follows it
// when opening). Made and removed by Linux programs, which also move folders that Wine
// programs hold.
#pragma once

#include <windows.h>

#include <string>

namespace foldertest {

// The Linux path of |path| as Wine names it; empty when it has none.
std::wstring UnixPath(const std::wstring& path);
// |link| made a symbolic link to |target|; true once Wine shows it.
bool MakeLink(const std::wstring& target, const std::wstring& link);
// |link| (a link or an empty folder) removed; true once it is gone.
bool RemoveLink(const std::wstring& link);
// |from| renamed to |to| by Linux, whatever Wine holds; true once |to| is there.
bool MoveOnHost(const std::wstring& from, const std::wstring& to);

}  // namespace foldertest
