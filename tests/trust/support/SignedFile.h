// A signed test file's embedded signature, decoded as the platform decodes it.
#pragma once

#include <windows.h>
// These need <windows.h> first.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "basalt/EmbeddedSignature.h"

namespace trust_test {

struct SignedFile {
  EmbeddedSignature signature;
  HCERTSTORE store = nullptr;
  HCRYPTMSG message = nullptr;
};

// The signature of |path| as one message with its certificate store (both null, and a
// test failure, when it cannot be decoded).
inline SignedFile OpenSigned(const std::wstring& path) {
  SignedFile file;
  if (!DecodeEmbeddedSignature(path.c_str(), &file.signature)) {
    ADD_FAILURE() << "no signature could be decoded";
    return file;
  }
  file.store = file.signature.stores[0].get();
  file.message = file.signature.messages[0].get();
  return file;
}

}  // namespace trust_test
