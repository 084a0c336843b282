// Objects that load themselves from a file: what a file's path binds to in com.GetObject is a
// new instance of the class registered for the file's extension, loaded through this interface.
#pragma once

#include "com/com_types.h"

namespace quevro::com {

struct IPersistFile : IUnknown {
  virtual HRESULT GetClassID(CLSID* clsid) = 0;
  virtual HRESULT IsDirty() = 0;
  // `mode` holds the STGM access flags; 0 is read-only.
  virtual HRESULT Load(LPCOLESTR path, DWORD mode) = 0;
  virtual HRESULT Save(LPCOLESTR path, int32_t remember) = 0;
  virtual HRESULT SaveCompleted(LPCOLESTR path) = 0;
  virtual HRESULT GetCurFile(LPOLESTR* path) = 0;

 protected:
  ~IPersistFile() = default;
};

inline constexpr IID IID_IPersistFile = {0x0000010B, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

}  // namespace quevro::com
