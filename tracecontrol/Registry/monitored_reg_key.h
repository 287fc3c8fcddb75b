// Registry key that runs a callback on a thread of its own each time something under
// the key changes.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <thread>

#include "basalt/Registry/CRegKey.h"
#include "basalt/UniqueHandle.h"

namespace Basalt {

// One watching thread at most. start, stop, open, create, close and destruction are
// called from one thread at a time, never from inside the callback.
class monitored_reg_key {
 public:
  using callback_type = std::function<void()>;

  monitored_reg_key();
  monitored_reg_key(const monitored_reg_key&) = delete;
  monitored_reg_key& operator=(const monitored_reg_key&) = delete;

  // Stops watching, then closes both events and the key.
  virtual ~monitored_reg_key();

  // Stops watching and closes the key held, then CRegKey::Create; its registry code.
  [[nodiscard]] virtual LONG create(HKEY hKeyParent, LPCWSTR lpszKeyName,
                                    LPWSTR lpszClass = nullptr,
                                    DWORD dwOptions = REG_OPTION_NON_VOLATILE,
                                    REGSAM samDesired = KEY_READ | KEY_WRITE,
                                    LPSECURITY_ATTRIBUTES lpSecAttr = nullptr,
                                    LPDWORD lpdwDisposition = nullptr);
  // Stops watching and closes the key held, then CRegKey::Open; its registry code.
  [[nodiscard]] virtual LONG open(HKEY hKeyParent, LPCWSTR lpszKeyName,
                                  REGSAM samDesired = KEY_READ | KEY_WRITE);
  // Stops watching, then closes the key; the result of CRegKey::Close.
  virtual LONG close();

  // Stops any earlier watch, then watches the key (its subtree when |watchSubtree|) for
  // the REG_NOTIFY_* changes in |filter| and calls |callback| on the watching thread
  // after each. Returns once the first notification is requested, so that every later
  // change is seen. False, changing nothing, when the key is not open or |callback| is
  // empty.
  [[nodiscard]] virtual bool start(callback_type callback, bool watchSubtree, DWORD filter);

  // Ends the watch and joins the thread; true. Called from inside the callback it throws
  // std::system_error (resource deadlock) instead of waiting for itself.
  virtual bool stop();

 protected:
  // Body of the watching thread: one notification request per round, the callback after
  // each change; ends on stop, or when a request or the wait fails (logged).
  virtual void registry_callback_thread(bool watchSubtree, DWORD filter);

  virtual void stop_and_close();

  static std::unique_ptr<CRegKey> make_reg_key();

 private:
  std::unique_ptr<CRegKey> m_key;
  callback_type m_callback;
  std::thread m_thread;
  UniqueEvent m_stopEvent;
  UniqueEvent m_notifyEvent;
  UniqueEvent m_armedEvent;  // set once the thread has asked for its first notification
};

}  // namespace Basalt
