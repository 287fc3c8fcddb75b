// Base of the test validators: the slots the verifier never calls answer E_NOTIMPL.
#pragma once

#include "trust/CodeTrust.h"

namespace trust_test {

class ValidatorStub : public KcvValidationControl {
 public:
  HRESULT STDMETHODCALLTYPE Reserved0() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved1() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved2() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved3() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved4() override { return E_NOTIMPL; }
};

}  // namespace trust_test
