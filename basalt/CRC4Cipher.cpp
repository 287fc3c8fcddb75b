#include "basalt/CRC4Cipher.h"

#include <new>
#include <utility>

namespace Basalt {

const CipherKeyTable g_CipherKeyTable = {{
    "{3B9F21C4-7A5E-4d2b-8C61-F0A4E7D2195B}",
    "{A1C6E830-52F9-4B7D-9E24-6D0B3F8A7C15}",
    "{5E2D9B47-C318-4F60-A7B5-2C8E41D9F036}",
}};

RC4State::RC4State() noexcept {
  for (int n = 0; n < 256; ++n) m_S[n] = static_cast<unsigned char>(n);
}

bool RC4State::SetKey(const unsigned char* key, int length) noexcept {
  if (key == nullptr || length <= 0) return false;
  for (int n = 0; n < 256; ++n) m_S[n] = static_cast<unsigned char>(n);
  uint32_t j = 0;
  for (int n = 0; n < 256; ++n) {
    j = (j + m_S[n] + key[n % length]) & 0xFF;
    std::swap(m_S[n], m_S[j]);
  }
  m_i = 0;
  m_j = 0;
  m_bKeyed = true;
  return true;
}

unsigned char RC4State::NextByte() noexcept {
  if (!m_bKeyed) return 0;
  m_i = (m_i + 1) & 0xFF;
  const unsigned char x = m_S[m_i];
  m_j = (m_j + x) & 0xFF;
  const unsigned char y = m_S[m_j];
  m_S[m_j] = x;
  m_S[m_i] = y;
  return m_S[(x + y) & 0xFF];
}

CRC4Cipher::CRC4Cipher(const char* key, int keyLength, int rounds)
    : m_nRounds(rounds > 1 ? rounds : 1), m_nExtraRounds(m_nRounds - 1) {
  if (key == nullptr || keyLength <= 0) {
    key = g_CipherKeyTable.entries[CipherKeyTable::kDefault];
    keyLength = CipherKeyTable::kKeyLength;
  }
  if (m_nRounds <= kInlineRounds) {
    m_pFirst = m_inlineFirst;
    m_pSecond = m_inlineSecond;
  } else {
    m_pFirst = new (std::nothrow) unsigned char[m_nRounds];
    m_pSecond = new (std::nothrow) unsigned char[m_nRounds];
  }
  m_pState = new (std::nothrow) RC4State();
  if (m_pState != nullptr) {
    (void)m_pState->SetKey(reinterpret_cast<const unsigned char*>(key), keyLength);
    m_feedback = m_pState->NextByte();
  }
}

CRC4Cipher::~CRC4Cipher() {
  if (m_pFirst != m_inlineFirst) delete[] m_pFirst;
  if (m_pSecond != m_inlineSecond) delete[] m_pSecond;
  delete m_pState;
}

int CRC4Cipher::Encrypt(const unsigned char* input, unsigned char* output, size_t length) noexcept {
  if (input == nullptr || output == nullptr || length == 0 || m_pState == nullptr) return 0;
  for (size_t n = 0; n < length; ++n) {
    m_feedback ^= input[n];
    const unsigned char k1 = m_pState->NextByte();
    const unsigned char k2 = m_pState->NextByte();
    unsigned char c = static_cast<unsigned char>((k1 ^ m_feedback) + k2);
    for (int r = 0; r < m_nExtraRounds; ++r) {
      const unsigned char d = m_pState->NextByte();
      const unsigned char e = m_pState->NextByte();
      c = static_cast<unsigned char>((c ^ d) + e);
    }
    output[n] = c;
  }
  return 1;
}

int CRC4Cipher::Decrypt(const unsigned char* input, unsigned char* output, size_t length) noexcept {
  if (input == nullptr || output == nullptr || length == 0 || m_pFirst == nullptr ||
      m_pSecond == nullptr || m_pState == nullptr) {
    return 0;
  }
  for (size_t n = 0; n < length; ++n) {
    for (int r = 0; r < m_nRounds; ++r) {
      m_pFirst[r] = m_pState->NextByte();
      m_pSecond[r] = m_pState->NextByte();
    }
    unsigned char c = input[n];
    for (int r = m_nRounds - 1; r >= 1; --r) {
      c = static_cast<unsigned char>((c - m_pSecond[r]) ^ m_pFirst[r]);
    }
    const unsigned char p =
        static_cast<unsigned char>(((c - m_pSecond[0]) ^ m_pFirst[0]) ^ m_feedback);
    output[n] = p;
    m_feedback ^= p;
  }
  return 1;
}

}  // namespace Basalt
