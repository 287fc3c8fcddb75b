// The embedded Authenticode signature of a file, decoded for the per-signer checks.
#pragma once

#include <windows.h>
// These need <windows.h> first.
#include <wincrypt.h>

#include <new>
#include <utility>
#include <vector>

#include "basalt/CryptOwners.h"

// Decoded messages with their certificate stores, and per signer the message that holds
// it and its index there.
struct EmbeddedSignature {
  struct Signer {
    HCRYPTMSG message;
    HCERTSTORE store;
    DWORD index;
  };
  std::vector<UniqueCryptMsg> messages;
  std::vector<UniqueCertStore> stores;
  std::vector<Signer> signers;

  // Takes over |message| and |store|; adds their signers |first| to |first + count - 1|.
  [[nodiscard]] bool Add(UniqueCryptMsg message, UniqueCertStore store, DWORD first,
                         DWORD count) noexcept {
    try {
      messages.reserve(messages.size() + 1);
      stores.reserve(stores.size() + 1);
      for (DWORD i = 0; i < count; ++i) signers.push_back({message.get(), store.get(), first + i});
    } catch (const std::bad_alloc&) {
      return false;
    }
    messages.push_back(std::move(message));
    stores.push_back(std::move(store));
    return true;
  }
};

// The file's embedded PKCS #7 signature as one message that holds every signer
// (CryptQueryObject, then the signer count). False when there is none or it cannot be read.
[[nodiscard]] inline bool DecodeEmbeddedSignature(const wchar_t* path,
                                                  EmbeddedSignature* out) noexcept {
  HCERTSTORE rawStore = nullptr;
  HCRYPTMSG rawMessage = nullptr;
  if (!CryptQueryObject(CERT_QUERY_OBJECT_FILE, path, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                        CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, &rawStore,
                        &rawMessage, nullptr)) {
    return false;
  }
  UniqueCertStore store(rawStore);
  UniqueCryptMsg message(rawMessage);
  DWORD count = 0;
  DWORD size = sizeof(count);
  if (!CryptMsgGetParam(message.get(), CMSG_SIGNER_COUNT_PARAM, 0, &count, &size)) return false;
  return out->Add(std::move(message), std::move(store), 0, count);
}
