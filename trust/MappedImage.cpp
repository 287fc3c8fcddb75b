#include "trust/MappedImage.h"

#include <winternl.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>
#include <vector>

namespace {

constexpr DWORD kChunk = 64 * 1024;
// A relocated slot is at most this wide; chunks are read with this much overlap so that a slot
// crossing a chunk boundary is relocated whole.
constexpr DWORD kSlack = 8;
// Bounds that keep a hostile file from making the check read or allocate without end.
constexpr DWORD kMaxHeaderBytes = 64 * 1024;
constexpr DWORD kMaxRelocationBytes = 64 * 1024 * 1024;
constexpr DWORD kMaxTableEntries = 1 << 20;

// Offsets of the pointer slots of the load configuration that the loader fills in (control-flow
// guard check and dispatch routines and their successors), for 32- and 64-bit images. mingw's
// structures end just before the first of them.
constexpr DWORD kLoadConfigSlots64[] = {112, 120, 216, 232, 280, 288, 296, 312};
constexpr DWORD kLoadConfigSlots32[] = {72, 76, 132, 144, 172, 176, 180, 188};
static_assert(sizeof(IMAGE_LOAD_CONFIG_DIRECTORY64) == 112, "load configuration layout");
static_assert(sizeof(IMAGE_LOAD_CONFIG_DIRECTORY32) == 72, "load configuration layout");
constexpr DWORD kMaxLoadConfigBytes = 320;

struct Range {  // [begin, end) in image offsets
  ULONGLONG begin;
  ULONGLONG end;
};

struct Slot {  // a base-relocated slot
  DWORD rva;
  DWORD width;
};

struct Image {
  bool wide = false;  // PE32+: 64-bit pointers
  DWORD pointerSize = 4;
  ULONGLONG imageBase = 0;
  DWORD imageBaseField = 0;  // offset of the image base field in the headers
  DWORD sizeOfImage = 0;
  DWORD sizeOfHeaders = 0;
  ULONGLONG fileSize = 0;
  IMAGE_DATA_DIRECTORY directories[IMAGE_NUMBEROF_DIRECTORY_ENTRIES] = {};
  std::vector<IMAGE_SECTION_HEADER> sections;
};

bool ReadFileAt(HANDLE file, ULONGLONG offset, void* to, DWORD size) {
  OVERLAPPED at = {};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD read = 0;
  return size == 0 || (ReadFile(file, to, size, &read, &at) && read == size);
}

// Reads |size| bytes of |process| at |address|: 0, or the error (299 for a short read).
DWORD ReadMemoryAt(HANDLE process, const void* address, void* to, SIZE_T size) {
  SIZE_T read = 0;
  if (ReadProcessMemory(process, address, to, size, &read) && read == size) return ERROR_SUCCESS;
  const DWORD error = GetLastError();
  return error != ERROR_SUCCESS ? error : static_cast<DWORD>(ERROR_PARTIAL_COPY);
}

template <typename T>
T Load(const BYTE* at) {
  T value;
  std::memcpy(&value, at, sizeof(T));
  return value;
}

ULONGLONG LoadPointer(const BYTE* at, DWORD size) {
  return size == 8 ? Load<ULONGLONG>(at) : Load<DWORD>(at);
}

DWORD ReadHeaders(HANDLE file, Image& image) {
  LARGE_INTEGER size = {};
  if (!GetFileSizeEx(file, &size)) return GetLastError();
  image.fileSize = static_cast<ULONGLONG>(size.QuadPart);
  const DWORD length = static_cast<DWORD>(std::min<ULONGLONG>(image.fileSize, kMaxHeaderBytes));
  std::vector<BYTE> bytes(length);
  if (!ReadFileAt(file, 0, bytes.data(), length)) return GetLastError();

  if (length < sizeof(IMAGE_DOS_HEADER)) return ERROR_BAD_EXE_FORMAT;
  const auto dos = Load<IMAGE_DOS_HEADER>(bytes.data());
  if (dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew < 0) return ERROR_BAD_EXE_FORMAT;
  const ULONGLONG nt = static_cast<ULONGLONG>(dos.e_lfanew);
  const ULONGLONG optional = nt + sizeof(DWORD) + sizeof(IMAGE_FILE_HEADER);
  if (optional + sizeof(WORD) > length) return ERROR_BAD_EXE_FORMAT;
  if (Load<DWORD>(bytes.data() + nt) != IMAGE_NT_SIGNATURE) return ERROR_BAD_EXE_FORMAT;
  const auto header = Load<IMAGE_FILE_HEADER>(bytes.data() + nt + sizeof(DWORD));

  size_t imageBaseAt = 0, directoriesAt = 0, countAt = 0;
  switch (Load<WORD>(bytes.data() + optional)) {
    case IMAGE_NT_OPTIONAL_HDR64_MAGIC:
      image.wide = true;
      image.pointerSize = 8;
      imageBaseAt = offsetof(IMAGE_OPTIONAL_HEADER64, ImageBase);
      countAt = offsetof(IMAGE_OPTIONAL_HEADER64, NumberOfRvaAndSizes);
      directoriesAt = offsetof(IMAGE_OPTIONAL_HEADER64, DataDirectory);
      break;
    case IMAGE_NT_OPTIONAL_HDR32_MAGIC:
      imageBaseAt = offsetof(IMAGE_OPTIONAL_HEADER32, ImageBase);
      countAt = offsetof(IMAGE_OPTIONAL_HEADER32, NumberOfRvaAndSizes);
      directoriesAt = offsetof(IMAGE_OPTIONAL_HEADER32, DataDirectory);
      break;
    default:
      return ERROR_BAD_EXE_FORMAT;
  }
  // Both optional headers keep these two fields at the same place.
  static_assert(offsetof(IMAGE_OPTIONAL_HEADER32, SizeOfImage) ==
                        offsetof(IMAGE_OPTIONAL_HEADER64, SizeOfImage) &&
                    offsetof(IMAGE_OPTIONAL_HEADER32, SizeOfHeaders) ==
                        offsetof(IMAGE_OPTIONAL_HEADER64, SizeOfHeaders),
                "optional header layout");
  if (header.SizeOfOptionalHeader < directoriesAt) return ERROR_BAD_EXE_FORMAT;
  const ULONGLONG sectionTable = optional + header.SizeOfOptionalHeader;
  if (sectionTable + ULONGLONG{header.NumberOfSections} * sizeof(IMAGE_SECTION_HEADER) > length) {
    return ERROR_BAD_EXE_FORMAT;
  }
  const BYTE* opt = bytes.data() + optional;
  image.imageBaseField = static_cast<DWORD>(optional + imageBaseAt);
  image.imageBase = LoadPointer(opt + imageBaseAt, image.pointerSize);
  image.sizeOfImage = Load<DWORD>(opt + offsetof(IMAGE_OPTIONAL_HEADER64, SizeOfImage));
  image.sizeOfHeaders = Load<DWORD>(opt + offsetof(IMAGE_OPTIONAL_HEADER64, SizeOfHeaders));
  const DWORD count =
      std::min<DWORD>({Load<DWORD>(opt + countAt), IMAGE_NUMBEROF_DIRECTORY_ENTRIES,
                       static_cast<DWORD>((header.SizeOfOptionalHeader - directoriesAt) /
                                          sizeof(IMAGE_DATA_DIRECTORY))});
  std::memcpy(image.directories, opt + directoriesAt, count * sizeof(IMAGE_DATA_DIRECTORY));
  if (image.sizeOfHeaders < sectionTable || image.sizeOfHeaders > image.fileSize ||
      image.sizeOfHeaders > image.sizeOfImage) {
    return ERROR_BAD_EXE_FORMAT;
  }
  image.sections.resize(header.NumberOfSections);
  std::memcpy(image.sections.data(), bytes.data() + sectionTable,
              image.sections.size() * sizeof(IMAGE_SECTION_HEADER));
  return ERROR_SUCCESS;
}

// Reads |size| bytes of the file's image at |rva|: from the headers or a section's file data.
bool ReadRva(HANDLE file, const Image& image, ULONGLONG rva, void* to, DWORD size) {
  if (rva + size <= image.sizeOfHeaders) return ReadFileAt(file, rva, to, size);
  for (const IMAGE_SECTION_HEADER& section : image.sections) {
    if (rva >= section.VirtualAddress &&
        rva + size <= ULONGLONG{section.VirtualAddress} + section.SizeOfRawData) {
      return ReadFileAt(file, section.PointerToRawData + (rva - section.VirtualAddress), to, size);
    }
  }
  return false;
}

void AddMask(std::vector<Range>& masks, const Image& image, ULONGLONG rva, ULONGLONG size) {
  if (size == 0 || rva >= image.sizeOfImage) return;
  masks.push_back({rva, std::min<ULONGLONG>(rva + size, image.sizeOfImage)});
}

// Number of non-zero pointer-sized entries of the table at |rva|.
bool CountTableEntries(HANDLE file, const Image& image, ULONGLONG rva, DWORD* count) {
  BYTE entry[8] = {};
  for (DWORD n = 0; n < kMaxTableEntries; ++n) {
    if (!ReadRva(file, image, rva + ULONGLONG{n} * image.pointerSize, entry, image.pointerSize)) {
      return false;
    }
    if (LoadPointer(entry, image.pointerSize) == 0) {
      *count = n;
      return true;
    }
  }
  return false;
}

// The import address tables, which the loader fills with the addresses of imported functions.
DWORD AddImportMasks(HANDLE file, const Image& image, std::vector<Range>& masks) {
  const IMAGE_DATA_DIRECTORY& imports = image.directories[IMAGE_DIRECTORY_ENTRY_IMPORT];
  for (DWORD i = 0; imports.VirtualAddress != 0 && i < kMaxTableEntries; ++i) {
    IMAGE_IMPORT_DESCRIPTOR descriptor = {};
    if (!ReadRva(file, image,
                 imports.VirtualAddress + ULONGLONG{i} * sizeof(IMAGE_IMPORT_DESCRIPTOR),
                 &descriptor, sizeof(descriptor))) {
      return ERROR_BAD_EXE_FORMAT;
    }
    if (descriptor.Name == 0 && descriptor.FirstThunk == 0) break;
    const DWORD names =
        descriptor.OriginalFirstThunk != 0 ? descriptor.OriginalFirstThunk : descriptor.FirstThunk;
    DWORD count = 0;
    if (!CountTableEntries(file, image, names, &count)) return ERROR_BAD_EXE_FORMAT;
    AddMask(masks, image, descriptor.FirstThunk, ULONGLONG{count} * image.pointerSize);
  }
  const IMAGE_DATA_DIRECTORY& iat = image.directories[IMAGE_DIRECTORY_ENTRY_IAT];
  AddMask(masks, image, iat.VirtualAddress, iat.Size);

  // Delayed imports: their tables and module handle are filled in on first use.
  const IMAGE_DATA_DIRECTORY& delayed = image.directories[IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT];
  for (DWORD i = 0; delayed.VirtualAddress != 0 && i < kMaxTableEntries; ++i) {
    DWORD descriptor[8] = {};  // attributes, name, module handle, IAT, INT, bound, unload, time
    if (!ReadRva(file, image, delayed.VirtualAddress + ULONGLONG{i} * sizeof(descriptor),
                 descriptor, sizeof(descriptor))) {
      return ERROR_BAD_EXE_FORMAT;
    }
    if (descriptor[1] == 0) break;
    // Without the RVA attribute the fields are 32-bit addresses.
    const DWORD rebase = (descriptor[0] & 1) != 0 ? 0 : static_cast<DWORD>(image.imageBase);
    DWORD count = 0;
    if (!CountTableEntries(file, image, descriptor[4] - rebase, &count)) {
      return ERROR_BAD_EXE_FORMAT;
    }
    AddMask(masks, image, descriptor[2] - rebase, image.pointerSize);
    AddMask(masks, image, descriptor[3] - rebase, ULONGLONG{count} * image.pointerSize);
  }
  return ERROR_SUCCESS;
}

// The pointer slots of the load configuration that the loader sets.
DWORD AddLoadConfigMasks(HANDLE file, const Image& image, std::vector<Range>& masks) {
  const IMAGE_DATA_DIRECTORY& config = image.directories[IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG];
  if (config.VirtualAddress == 0) return ERROR_SUCCESS;
  DWORD size = 0;
  if (!ReadRva(file, image, config.VirtualAddress, &size, sizeof(size))) {
    return ERROR_BAD_EXE_FORMAT;
  }
  BYTE bytes[kMaxLoadConfigBytes] = {};
  size = std::min(size, kMaxLoadConfigBytes);
  if (!ReadRva(file, image, config.VirtualAddress, bytes, size)) return ERROR_BAD_EXE_FORMAT;
  for (const DWORD at : image.wide ? kLoadConfigSlots64 : kLoadConfigSlots32) {
    if (at + image.pointerSize > size) break;
    const ULONGLONG address = LoadPointer(bytes + at, image.pointerSize);
    if (address > image.imageBase)
      AddMask(masks, image, address - image.imageBase, image.pointerSize);
  }
  return ERROR_SUCCESS;
}

void MergeMasks(std::vector<Range>& masks) {
  std::sort(masks.begin(), masks.end(),
            [](const Range& a, const Range& b) { return a.begin < b.begin; });
  std::vector<Range> merged;
  merged.reserve(masks.size());
  for (const Range& range : masks) {
    if (!merged.empty() && range.begin <= merged.back().end) {
      merged.back().end = std::max(merged.back().end, range.end);
    } else {
      merged.push_back(range);
    }
  }
  masks.swap(merged);
}

DWORD ReadRelocations(HANDLE file, const Image& image, std::vector<Slot>& slots) {
  const IMAGE_DATA_DIRECTORY& relocations = image.directories[IMAGE_DIRECTORY_ENTRY_BASERELOC];
  if (relocations.VirtualAddress == 0 || relocations.Size == 0) return ERROR_SUCCESS;
  if (relocations.Size > kMaxRelocationBytes) return ERROR_BAD_EXE_FORMAT;
  std::vector<BYTE> bytes(relocations.Size);
  if (!ReadRva(file, image, relocations.VirtualAddress, bytes.data(), relocations.Size)) {
    return ERROR_BAD_EXE_FORMAT;
  }
  for (DWORD at = 0; at + 8 <= bytes.size();) {
    const DWORD page = Load<DWORD>(bytes.data() + at);
    const DWORD blockSize = Load<DWORD>(bytes.data() + at + 4);
    if (page == 0 && blockSize == 0) break;  // padding after the last block
    if (blockSize < 8 || blockSize > bytes.size() - at) return ERROR_BAD_EXE_FORMAT;
    for (DWORD entry = at + 8; entry + 2 <= at + blockSize; entry += 2) {
      const WORD value = Load<WORD>(bytes.data() + entry);
      switch (value >> 12) {
        case IMAGE_REL_BASED_ABSOLUTE:
          break;
        case IMAGE_REL_BASED_HIGHLOW:
          slots.push_back({page + (value & 0xFFF), 4});
          break;
        case IMAGE_REL_BASED_DIR64:
          slots.push_back({page + (value & 0xFFF), 8});
          break;
        default:
          return ERROR_BAD_EXE_FORMAT;
      }
    }
    at += blockSize;
  }
  std::sort(slots.begin(), slots.end(), [](const Slot& a, const Slot& b) { return a.rva < b.rva; });
  return ERROR_SUCCESS;
}

// Adds |delta| to every slot lying wholly in |bytes|, which hold the image from |from| on.
void Relocate(BYTE* bytes, ULONGLONG from, DWORD length, const std::vector<Slot>& slots,
              ULONGLONG delta) {
  auto slot = std::lower_bound(slots.begin(), slots.end(), from,
                               [](const Slot& s, ULONGLONG rva) { return s.rva < rva; });
  for (; slot != slots.end() && slot->rva < from + length; ++slot) {
    if (slot->rva + slot->width > from + length) continue;
    BYTE* at = bytes + (slot->rva - from);
    if (slot->width == 8) {
      const ULONGLONG value = Load<ULONGLONG>(at) + delta;
      std::memcpy(at, &value, sizeof(value));
    } else {
      const DWORD value = Load<DWORD>(at) + static_cast<DWORD>(delta);
      std::memcpy(at, &value, sizeof(value));
    }
  }
}

// True when |a| and |b| (the image from |from| to |to|) agree outside the masks.
bool SameOutsideMasks(const BYTE* a, const BYTE* b, ULONGLONG from, ULONGLONG to,
                      const std::vector<Range>& masks) {
  auto mask = std::upper_bound(masks.begin(), masks.end(), from,
                               [](ULONGLONG rva, const Range& r) { return rva < r.end; });
  ULONGLONG at = from;
  while (at < to) {
    const ULONGLONG stop = mask != masks.end() ? std::min(to, std::max(at, mask->begin)) : to;
    if (std::memcmp(a + (at - from), b + (at - from), stop - at) != 0) return false;
    if (stop == to) return true;
    at = std::min(to, mask->end);
    ++mask;
  }
  return true;
}

struct Comparison {
  HANDLE file;
  HANDLE process;
  const BYTE* base;
  ULONGLONG delta;
  const std::vector<Slot>& slots;
  const std::vector<Range>& masks;
  std::vector<BYTE>& fileBytes;
  std::vector<BYTE>& memoryBytes;

  // Compares |length| bytes of the file at |offset| with the mapping at |rva|.
  DWORD Region(ULONGLONG offset, ULONGLONG rva, ULONGLONG length) const {
    for (ULONGLONG start = 0; start < length; start += kChunk) {
      const ULONGLONG end = std::min(length, start + kChunk);
      const ULONGLONG low = start >= kSlack ? start - kSlack : 0;
      const ULONGLONG high = std::min(length, end + kSlack);
      const DWORD size = static_cast<DWORD>(high - low);
      if (!ReadFileAt(file, offset + low, fileBytes.data(), size)) return GetLastError();
      const DWORD read = ReadMemoryAt(process, base + rva + low, memoryBytes.data(), size);
      if (read != ERROR_SUCCESS) return read;
      if (delta != 0) Relocate(fileBytes.data(), rva + low, size, slots, delta);
      const ULONGLONG skip = start - low;
      if (!SameOutsideMasks(fileBytes.data() + skip, memoryBytes.data() + skip, rva + start,
                            rva + end, masks)) {
        return ERROR_ACCESS_DENIED;
      }
    }
    return ERROR_SUCCESS;
  }
};

DWORD Match(HANDLE file, HANDLE process, const BYTE* base) {
  MEMORY_BASIC_INFORMATION region = {};
  if (VirtualQueryEx(process, base, &region, sizeof(region)) != sizeof(region)) {
    return GetLastError();
  }
  if (region.Type != MEM_IMAGE || region.AllocationBase != base) return ERROR_ACCESS_DENIED;

  Image image;
  DWORD error = ReadHeaders(file, image);
  if (error != ERROR_SUCCESS) return error;

  // The loader may leave the image base field as the file has it or set it to the actual base.
  const ULONGLONG actualBase = reinterpret_cast<ULONG_PTR>(base);
  BYTE field[8] = {};
  error = ReadMemoryAt(process, base + image.imageBaseField, field, image.pointerSize);
  if (error != ERROR_SUCCESS) return error;
  const ULONGLONG mappedBase = LoadPointer(field, image.pointerSize);
  const ULONGLONG truncatedBase = image.wide ? actualBase : static_cast<DWORD>(actualBase);
  if (mappedBase != image.imageBase && mappedBase != truncatedBase) return ERROR_ACCESS_DENIED;

  std::vector<Range> masks;
  masks.push_back({image.imageBaseField, ULONGLONG{image.imageBaseField} + image.pointerSize});
  if ((error = AddImportMasks(file, image, masks)) != ERROR_SUCCESS ||
      (error = AddLoadConfigMasks(file, image, masks)) != ERROR_SUCCESS) {
    return error;
  }
  MergeMasks(masks);
  const ULONGLONG delta = actualBase - image.imageBase;
  std::vector<Slot> slots;
  if (delta != 0 && (error = ReadRelocations(file, image, slots)) != ERROR_SUCCESS) return error;

  std::vector<BYTE> fileBytes(kChunk + 2 * kSlack);
  std::vector<BYTE> memoryBytes(kChunk + 2 * kSlack);
  const Comparison compare{file, process, base, delta, slots, masks, fileBytes, memoryBytes};
  if ((error = compare.Region(0, 0, image.sizeOfHeaders)) != ERROR_SUCCESS) return error;
  for (const IMAGE_SECTION_HEADER& section : image.sections) {
    if ((section.Characteristics & IMAGE_SCN_MEM_WRITE) != 0) continue;
    ULONGLONG length = section.SizeOfRawData;
    if (section.Misc.VirtualSize != 0)
      length = std::min<ULONGLONG>(length, section.Misc.VirtualSize);
    if (length == 0) continue;
    if (section.PointerToRawData + length > image.fileSize ||
        section.VirtualAddress + length > image.sizeOfImage) {
      return ERROR_BAD_EXE_FORMAT;
    }
    error = compare.Region(section.PointerToRawData, section.VirtualAddress, length);
    if (error != ERROR_SUCCESS) return error;
  }
  return ERROR_SUCCESS;
}

}  // namespace

DWORD MatchMappedImage(HANDLE file, HANDLE process, const void* base) {
  if (base == nullptr) return ERROR_INVALID_PARAMETER;
  try {
    return Match(file, process, static_cast<const BYTE*>(base));
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

const void* ProcessImageBase(HANDLE process) {
  PROCESS_BASIC_INFORMATION basic = {};
  if (NtQueryInformationProcess(process, ProcessBasicInformation, &basic, sizeof(basic), nullptr) !=
          0 ||
      basic.PebBaseAddress == nullptr) {
    return nullptr;
  }
  // The second of the block's reserved pointers is the image base address.
  const auto* field = reinterpret_cast<const BYTE*>(basic.PebBaseAddress) +
                      offsetof(PEB, Reserved3) + sizeof(PVOID);
  const void* base = nullptr;
  return ReadMemoryAt(process, field, &base, sizeof(base)) == ERROR_SUCCESS ? base : nullptr;
}
