// RC4-based byte-stream cipher with plaintext feedback, and the built-in key texts.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Basalt {

// The three built-in key texts: 38 narrow characters each (a GUID in registry form),
// used as key bytes without their terminator.
struct CipherKeyTable {
  enum Index : size_t { kRegistryValues = 0, kIniValues = 1, kDefault = 2 };
  static constexpr int kKeyLength = 38;

  const char* entries[3];
};

// The library's key table.
extern const CipherKeyTable g_CipherKeyTable;

// Plain RC4 state: key schedule and keystream bytes.
class RC4State {
 public:
  RC4State() noexcept;

  // Runs the RC4 key schedule over |key| (bytes reused cyclically) and resets the
  // counters. Returns false, leaving the state as it was, for a null key or length <= 0.
  bool SetKey(const unsigned char* key, int length) noexcept;

  // Next keystream byte; 0 while no key has been set.
  unsigned char NextByte() noexcept;

 private:
  bool m_bKeyed = false;
  uint32_t m_i = 0;
  uint32_t m_j = 0;
  unsigned char m_S[256];
};

// Stream cipher: each byte is mixed with a feedback byte (XOR of all earlier plaintext
// and the first keystream byte) and then with two keystream bytes per round.
// Not copyable; one object enciphers or deciphers one stream.
class CRC4Cipher {
 public:
  // A null |key| or |keyLength| <= 0 selects the default key text; |rounds| < 2 means 1.
  CRC4Cipher(const char* key, int keyLength, int rounds);
  ~CRC4Cipher();
  CRC4Cipher(const CRC4Cipher&) = delete;
  CRC4Cipher& operator=(const CRC4Cipher&) = delete;

  // Enciphers |length| bytes; input and output may be the same buffer. Returns 1, or 0
  // (writing nothing, state unchanged) for a null buffer or a length of 0.
  [[nodiscard]] int Encrypt(const unsigned char* input, unsigned char* output,
                            size_t length) noexcept;

  // Reverses Encrypt for a cipher made with the same key and rounds. Returns 1, or 0 for a
  // null buffer, a length of 0 or missing scratch arrays.
  [[nodiscard]] int Decrypt(const unsigned char* input, unsigned char* output,
                            size_t length) noexcept;

 private:
  static constexpr int kInlineRounds = 5;

  RC4State* m_pState = nullptr;
  int m_nRounds = 1;
  int m_nExtraRounds = 0;
  unsigned char* m_pFirst = nullptr;
  unsigned char* m_pSecond = nullptr;
  unsigned char m_inlineFirst[kInlineRounds];
  unsigned char m_inlineSecond[kInlineRounds];
  unsigned char m_feedback = 0;
};

}  // namespace Basalt
