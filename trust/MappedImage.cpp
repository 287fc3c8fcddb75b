#include "trust/MappedImage.h"

#include <winternl.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>
#include <vector>

#include "trust/NtRecords.h"

namespace {

constexpr DWORD kChunk = 64 * 1024;
// A relocated slot is at most this wide; chunks are read with this much overlap so that a slot
// crossing a chunk boundary is relocated whole.
constexpr DWORD kSlack = 8;
// The headers are read at most this far (the section table must end within them).
constexpr DWORD kMaxHeaderBytes = 64 * 1024;
constexpr ULONGLONG kPage = 4096;

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

// Base-relocated slots by width; each lies wholly inside the image, so its offset fits 32 bits.
struct Slots {
  std::vector<DWORD> narrow;  // 32-bit
  std::vector<DWORD> wide;    // 64-bit
};

struct Image {
  bool wide = false;  // PE32+: 64-bit pointers
  DWORD pointerSize = 4;
  ULONGLONG imageBase = 0;
  DWORD imageBaseField = 0;  // offset of the image base field in the headers
  DWORD sizeOfImage = 0;
  DWORD sizeOfHeaders = 0;
  DWORD entryPoint = 0;
  ULONGLONG fileSize = 0;
  IMAGE_DATA_DIRECTORY directories[IMAGE_NUMBEROF_DIRECTORY_ENTRIES] = {};
  std::vector<IMAGE_SECTION_HEADER> sections;
};

// The bytes of a section that come from the file when it is mapped.
ULONGLONG MappedRawSize(const IMAGE_SECTION_HEADER& section) {
  const ULONGLONG raw = section.SizeOfRawData;
  return section.Misc.VirtualSize != 0 ? std::min<ULONGLONG>(raw, section.Misc.VirtualSize) : raw;
}

// The span of a section in the image.
ULONGLONG VirtualSpan(const IMAGE_SECTION_HEADER& section) {
  return section.Misc.VirtualSize != 0 ? section.Misc.VirtualSize : section.SizeOfRawData;
}

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
  if (header.NumberOfSections > kMaxImageSections) return ERROR_FILE_TOO_LARGE;

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
  static_assert(offsetof(IMAGE_OPTIONAL_HEADER32, AddressOfEntryPoint) ==
                    offsetof(IMAGE_OPTIONAL_HEADER64, AddressOfEntryPoint),
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
  image.entryPoint = Load<DWORD>(opt + offsetof(IMAGE_OPTIONAL_HEADER64, AddressOfEntryPoint));
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
  // In ascending order, apart from each other and from the headers, inside the image, their file
  // data inside the file: as the loader lays them out.
  ULONGLONG next = image.sizeOfHeaders;
  for (const IMAGE_SECTION_HEADER& section : image.sections) {
    const ULONGLONG end = ULONGLONG{section.VirtualAddress} + VirtualSpan(section);
    if (section.VirtualAddress < next || end > image.sizeOfImage ||
        ULONGLONG{section.PointerToRawData} + MappedRawSize(section) > image.fileSize) {
      return ERROR_BAD_EXE_FORMAT;
    }
    next = end;
  }
  return ERROR_SUCCESS;
}

// Reads the image of a file by offset in the image, through a window of the file, so that a walk
// over a table costs one file read per window and not one per entry.
class ImageReader {
 public:
  ImageReader(HANDLE file, const Image& image) : m_file(file), m_image(image), m_window(kChunk) {}

  // Reads |size| (at most kChunk) bytes at |rva|, which must lie wholly in the headers or in the
  // file data of one section.
  bool Read(ULONGLONG rva, void* to, DWORD size) {
    ULONGLONG offset = 0;
    if (!FileOffset(rva, size, &offset)) return false;
    if (offset < m_windowOffset || offset + size > m_windowOffset + m_windowLength) {
      const DWORD length =
          static_cast<DWORD>(std::min<ULONGLONG>(kChunk, m_image.fileSize - offset));
      if (length < size || !ReadFileAt(m_file, offset, m_window.data(), length)) return false;
      m_windowOffset = offset;
      m_windowLength = length;
    }
    std::memcpy(to, m_window.data() + (offset - m_windowOffset), size);
    return true;
  }

 private:
  bool FileOffset(ULONGLONG rva, DWORD size, ULONGLONG* offset) const {
    if (size > kChunk) return false;
    if (rva + size <= m_image.sizeOfHeaders) {
      *offset = rva;
      return true;
    }
    for (const IMAGE_SECTION_HEADER& section : m_image.sections) {
      if (rva >= section.VirtualAddress &&
          rva + size <= ULONGLONG{section.VirtualAddress} + MappedRawSize(section)) {
        *offset = section.PointerToRawData + (rva - section.VirtualAddress);
        return true;
      }
    }
    return false;
  }

  HANDLE m_file;
  const Image& m_image;
  std::vector<BYTE> m_window;
  ULONGLONG m_windowOffset = 0;
  ULONGLONG m_windowLength = 0;
};

void AddMask(std::vector<Range>& masks, const Image& image, ULONGLONG rva, ULONGLONG size) {
  if (size == 0 || rva >= image.sizeOfImage) return;
  masks.push_back({rva, std::min<ULONGLONG>(rva + size, image.sizeOfImage)});
}

// Walks the tables of the import directories, counting every entry against one budget.
class ImportWalk {
 public:
  ImportWalk(ImageReader& reader, const Image& image) : m_reader(reader), m_image(image) {}

  // The import address tables, which the loader fills with the addresses of imported functions.
  DWORD AddMasks(std::vector<Range>& masks) {
    const IMAGE_DATA_DIRECTORY& imports = m_image.directories[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (DWORD i = 0; imports.VirtualAddress != 0; ++i) {
      if (i == kMaxImportDescriptors) return ERROR_FILE_TOO_LARGE;
      IMAGE_IMPORT_DESCRIPTOR descriptor = {};
      if (!m_reader.Read(imports.VirtualAddress + ULONGLONG{i} * sizeof(descriptor), &descriptor,
                         sizeof(descriptor))) {
        return ERROR_BAD_EXE_FORMAT;
      }
      if (descriptor.Name == 0 && descriptor.FirstThunk == 0) break;
      const DWORD names = descriptor.OriginalFirstThunk != 0 ? descriptor.OriginalFirstThunk
                                                             : descriptor.FirstThunk;
      ULONGLONG count = 0;
      const DWORD error = CountEntries(names, &count);
      if (error != ERROR_SUCCESS) return error;
      AddMask(masks, m_image, descriptor.FirstThunk, count * m_image.pointerSize);
    }
    const IMAGE_DATA_DIRECTORY& iat = m_image.directories[IMAGE_DIRECTORY_ENTRY_IAT];
    AddMask(masks, m_image, iat.VirtualAddress, iat.Size);

    // Delayed imports: their tables and module handle are filled in on first use.
    const IMAGE_DATA_DIRECTORY& delayed = m_image.directories[IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT];
    for (DWORD i = 0; delayed.VirtualAddress != 0; ++i) {
      if (i == kMaxImportDescriptors) return ERROR_FILE_TOO_LARGE;
      DWORD descriptor[8] = {};  // attributes, name, module handle, IAT, INT, bound, unload, time
      if (!m_reader.Read(delayed.VirtualAddress + ULONGLONG{i} * sizeof(descriptor), descriptor,
                         sizeof(descriptor))) {
        return ERROR_BAD_EXE_FORMAT;
      }
      if (descriptor[1] == 0) break;
      ULONGLONG handle = 0, table = 0, names = 0;
      if (!DelayedRva(descriptor[0], descriptor[2], &handle) ||
          !DelayedRva(descriptor[0], descriptor[3], &table) ||
          !DelayedRva(descriptor[0], descriptor[4], &names)) {
        return ERROR_BAD_EXE_FORMAT;
      }
      ULONGLONG count = 0;
      const DWORD error = CountEntries(names, &count);
      if (error != ERROR_SUCCESS) return error;
      AddMask(masks, m_image, handle, m_image.pointerSize);
      AddMask(masks, m_image, table, count * m_image.pointerSize);
    }
    return ERROR_SUCCESS;
  }

 private:
  // Without the RVA attribute the fields of a delayed-import descriptor are 32-bit addresses.
  bool DelayedRva(DWORD attributes, DWORD field, ULONGLONG* rva) const {
    if ((attributes & 1) != 0) {
      *rva = field;
      return true;
    }
    if (field < m_image.imageBase) return false;
    *rva = field - m_image.imageBase;
    return true;
  }

  // Number of non-zero pointer-sized entries of the table at |rva|.
  DWORD CountEntries(ULONGLONG rva, ULONGLONG* count) {
    const DWORD size = m_image.pointerSize;
    BYTE entry[8] = {};
    for (ULONGLONG n = 0;; ++n) {
      if (m_entries++ == kMaxImportEntries) return ERROR_FILE_TOO_LARGE;
      if (!m_reader.Read(rva + n * size, entry, size)) return ERROR_BAD_EXE_FORMAT;
      if (LoadPointer(entry, size) == 0) {
        *count = n;
        return ERROR_SUCCESS;
      }
    }
  }

  ImageReader& m_reader;
  const Image& m_image;
  DWORD m_entries = 0;
};

// The pointer slots of the load configuration that the loader sets.
DWORD AddLoadConfigMasks(ImageReader& reader, const Image& image, std::vector<Range>& masks) {
  const IMAGE_DATA_DIRECTORY& config = image.directories[IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG];
  if (config.VirtualAddress == 0) return ERROR_SUCCESS;
  DWORD size = 0;
  if (!reader.Read(config.VirtualAddress, &size, sizeof(size))) return ERROR_BAD_EXE_FORMAT;
  BYTE bytes[kMaxLoadConfigBytes] = {};
  size = std::min(size, kMaxLoadConfigBytes);
  if (!reader.Read(config.VirtualAddress, bytes, size)) return ERROR_BAD_EXE_FORMAT;
  for (const DWORD at : image.wide ? kLoadConfigSlots64 : kLoadConfigSlots32) {
    if (at + image.pointerSize > size) break;
    const ULONGLONG address = LoadPointer(bytes + at, image.pointerSize);
    if (address > image.imageBase) {
      AddMask(masks, image, address - image.imageBase, image.pointerSize);
    }
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

// Walks the blocks of the relocation directory; |visit| sees each slot (its offset in the image,
// 64-bit, and its width) and answers false to stop.
template <typename Visit>
DWORD WalkRelocations(ImageReader& reader, const IMAGE_DATA_DIRECTORY& relocations, Visit visit) {
  std::vector<BYTE> buffer(kChunk);
  BYTE* entries = buffer.data();
  for (ULONGLONG at = 0; at + 8 <= relocations.Size;) {
    DWORD block[2] = {};  // page, size
    if (!reader.Read(relocations.VirtualAddress + at, block, sizeof(block))) {
      return ERROR_BAD_EXE_FORMAT;
    }
    if (block[0] == 0 && block[1] == 0) break;  // padding after the last block
    if (block[1] < 8 || block[1] > relocations.Size - at) return ERROR_BAD_EXE_FORMAT;
    for (ULONGLONG done = 8; done + 2 <= block[1];) {
      const DWORD piece =
          static_cast<DWORD>(std::min<ULONGLONG>(kChunk, (block[1] - done) & ~1ull));
      if (!reader.Read(relocations.VirtualAddress + at + done, entries, piece)) {
        return ERROR_BAD_EXE_FORMAT;
      }
      for (DWORD e = 0; e + 2 <= piece; e += 2) {
        const WORD value = Load<WORD>(entries + e);
        const ULONGLONG rva = ULONGLONG{block[0]} + (value & 0xFFF);
        switch (value >> 12) {
          case IMAGE_REL_BASED_ABSOLUTE:
            break;
          case IMAGE_REL_BASED_HIGHLOW:
            if (!visit(rva, 4)) return ERROR_BAD_EXE_FORMAT;
            break;
          case IMAGE_REL_BASED_DIR64:
            if (!visit(rva, 8)) return ERROR_BAD_EXE_FORMAT;
            break;
          default:
            return ERROR_BAD_EXE_FORMAT;
        }
      }
      done += piece;
    }
    at += block[1];
  }
  return ERROR_SUCCESS;
}

DWORD ReadRelocations(ImageReader& reader, const Image& image, Slots& slots) {
  const IMAGE_DATA_DIRECTORY& relocations = image.directories[IMAGE_DIRECTORY_ENTRY_BASERELOC];
  if (relocations.VirtualAddress == 0 || relocations.Size == 0) return ERROR_SUCCESS;
  if (relocations.Size > kMaxRelocationBytes) return ERROR_FILE_TOO_LARGE;
  // Counted first, so that the slots take the memory they need and no more.
  size_t narrow = 0, wide = 0;
  DWORD error = WalkRelocations(reader, relocations, [&](ULONGLONG rva, DWORD width) {
    if (rva + width > image.sizeOfImage) return false;
    ++(width == 8 ? wide : narrow);
    return true;
  });
  if (error != ERROR_SUCCESS) return error;
  slots.narrow.reserve(narrow);
  slots.wide.reserve(wide);
  error = WalkRelocations(reader, relocations, [&](ULONGLONG rva, DWORD width) {
    std::vector<DWORD>& to = width == 8 ? slots.wide : slots.narrow;
    if (rva + width > image.sizeOfImage || to.size() == to.capacity()) return false;
    to.push_back(static_cast<DWORD>(rva));
    return true;
  });
  if (error != ERROR_SUCCESS) return error;
  std::sort(slots.narrow.begin(), slots.narrow.end());
  std::sort(slots.wide.begin(), slots.wide.end());
  return ERROR_SUCCESS;
}

// Adds |delta| to every slot of |width| bytes lying wholly in |bytes|, which hold |length| bytes
// of the image from |from| on.
void Relocate(BYTE* bytes, ULONGLONG from, DWORD length, const std::vector<DWORD>& slots,
              DWORD width, ULONGLONG delta) {
  const ULONGLONG to = from + length;
  for (auto slot = std::lower_bound(slots.begin(), slots.end(), from);
       slot != slots.end() && *slot < to; ++slot) {
    if (ULONGLONG{*slot} + width > to) continue;
    BYTE* at = bytes + (*slot - from);
    if (width == 8) {
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
  const Slots& slots;
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
      if (delta != 0) {
        Relocate(fileBytes.data(), rva + low, size, slots.narrow, 4, delta);
        Relocate(fileBytes.data(), rva + low, size, slots.wide, 8, delta);
      }
      const ULONGLONG skip = start - low;
      if (!SameOutsideMasks(fileBytes.data() + skip, memoryBytes.data() + skip, rva + start,
                            rva + end, masks)) {
        return ERROR_ACCESS_DENIED;
      }
    }
    return ERROR_SUCCESS;
  }
};

// Size of the image mapping at |base| as the system keeps it: the regions of one image allocation
// from |base| on. 0 on failure or past kMaxImageRegions regions (|*tooMany| set).
ULONGLONG MappingSize(HANDLE process, const BYTE* base, bool* tooMany) {
  ULONGLONG size = 0;
  for (DWORD regions = 0;; ++regions) {
    MEMORY_BASIC_INFORMATION region = {};
    if (VirtualQueryEx(process, base + size, &region, sizeof(region)) != sizeof(region) ||
        region.AllocationBase != base || region.Type != MEM_IMAGE) {
      return size;
    }
    if (regions == kMaxImageRegions) {
      *tooMany = true;
      return 0;
    }
    size += region.RegionSize;
  }
}

// |entryRva| null: the entry point is not compared.
DWORD Match(HANDLE file, HANDLE process, const BYTE* base, const ULONGLONG* entryRva) {
  MEMORY_BASIC_INFORMATION region = {};
  if (VirtualQueryEx(process, base, &region, sizeof(region)) != sizeof(region)) {
    return GetLastError();
  }
  if (region.Type != MEM_IMAGE || region.AllocationBase != base) return ERROR_ACCESS_DENIED;

  Image image;
  DWORD error = ReadHeaders(file, image);
  if (error != ERROR_SUCCESS) return error;
  if (entryRva != nullptr && *entryRva != image.entryPoint) return ERROR_ACCESS_DENIED;
  bool tooMany = false;
  const ULONGLONG mapped = MappingSize(process, base, &tooMany);
  if (tooMany) return ERROR_FILE_TOO_LARGE;
  if (mapped != (ULONGLONG{image.sizeOfImage} + kPage - 1) / kPage * kPage) {
    return ERROR_ACCESS_DENIED;
  }

  // The loader may leave the image base field as the file has it or set it to the actual base.
  const ULONGLONG actualBase = reinterpret_cast<ULONG_PTR>(base);
  BYTE field[8] = {};
  error = ReadMemoryAt(process, base + image.imageBaseField, field, image.pointerSize);
  if (error != ERROR_SUCCESS) return error;
  const ULONGLONG mappedBase = LoadPointer(field, image.pointerSize);
  const ULONGLONG truncatedBase = image.wide ? actualBase : static_cast<DWORD>(actualBase);
  if (mappedBase != image.imageBase && mappedBase != truncatedBase) return ERROR_ACCESS_DENIED;

  ImageReader reader(file, image);
  std::vector<Range> masks;
  masks.push_back({image.imageBaseField, ULONGLONG{image.imageBaseField} + image.pointerSize});
  ImportWalk imports(reader, image);
  if ((error = imports.AddMasks(masks)) != ERROR_SUCCESS ||
      (error = AddLoadConfigMasks(reader, image, masks)) != ERROR_SUCCESS) {
    return error;
  }
  MergeMasks(masks);
  const ULONGLONG delta = actualBase - image.imageBase;
  Slots slots;
  if (delta != 0 && (error = ReadRelocations(reader, image, slots)) != ERROR_SUCCESS) return error;

  std::vector<BYTE> fileBytes(kChunk + 2 * kSlack);
  std::vector<BYTE> memoryBytes(kChunk + 2 * kSlack);
  const Comparison compare{file, process, base, delta, slots, masks, fileBytes, memoryBytes};
  if ((error = compare.Region(0, 0, image.sizeOfHeaders)) != ERROR_SUCCESS) return error;
  for (const IMAGE_SECTION_HEADER& section : image.sections) {
    if ((section.Characteristics & IMAGE_SCN_MEM_WRITE) != 0) continue;
    const ULONGLONG length = MappedRawSize(section);
    if (length == 0) continue;
    error = compare.Region(section.PointerToRawData, section.VirtualAddress, length);
    if (error != ERROR_SUCCESS) return error;
  }
  return ERROR_SUCCESS;
}

}  // namespace

DWORD MatchMappedImage(HANDLE file, HANDLE process, const void* base) {
  if (base == nullptr) return ERROR_INVALID_PARAMETER;
  try {
    return Match(file, process, static_cast<const BYTE*>(base), nullptr);
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

DWORD MatchProgramImage(HANDLE file, HANDLE process, const void* base, ULONGLONG entryRva) {
  if (base == nullptr) return ERROR_INVALID_PARAMETER;
  try {
    return Match(file, process, static_cast<const BYTE*>(base), &entryRva);
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

DWORD FindProgramImage(HANDLE process, const void** base, ULONGLONG* entryRva) {
  ProcessImageRecord record = {};
  const NTSTATUS status =
      NtQueryInformationProcess(process, ProcessImageInformation, &record, sizeof(record), nullptr);
  if (!NT_SUCCESS(status)) return RtlNtStatusToDosError(status);
  MEMORY_BASIC_INFORMATION region = {};
  if (record.transferAddress == nullptr ||
      VirtualQueryEx(process, record.transferAddress, &region, sizeof(region)) != sizeof(region) ||
      region.Type != MEM_IMAGE || region.AllocationBase == nullptr) {
    return ERROR_ACCESS_DENIED;
  }
  if (ProcessImageBase(process) != region.AllocationBase) return ERROR_ACCESS_DENIED;
  *base = region.AllocationBase;
  *entryRva = static_cast<const BYTE*>(record.transferAddress) -
              static_cast<const BYTE*>(region.AllocationBase);
  return ERROR_SUCCESS;
}

const void* ProcessImageBase(HANDLE process) {
  PROCESS_BASIC_INFORMATION basic = {};
  if (NtQueryInformationProcess(process, ProcessBasicInformation, &basic, sizeof(basic), nullptr) !=
          0 ||
      basic.PebBaseAddress == nullptr) {
    return nullptr;
  }
  const auto* field = reinterpret_cast<const BYTE*>(basic.PebBaseAddress) + kPebImageBaseOffset;
  const void* base = nullptr;
  return ReadMemoryAt(process, field, &base, sizeof(base)) == ERROR_SUCCESS ? base : nullptr;
}
