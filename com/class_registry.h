// The in-process class registry: what the system registry's class keys are to automation
// clients on Windows. A class is a factory registered under a CLSID and a ProgID ("App.Thing.2"),
// optionally also under a version-independent ProgID ("App.Thing"); clients find it by either
// name and create instances through it. ProgIDs compare without regard to ASCII case, as
// registry keys do. Safe to use from any thread; factories run outside the registry's lock so
// they may themselves create or register classes.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "com/com_types.h"

namespace quevro::com {

// Makes a new object and answers the interface iid of it into *object (one reference), as
// IClassFactory::CreateInstance does.
using ClassFactory = std::function<HRESULT(REFIID iid, void** object)>;

inline constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
inline constexpr DWORD CLSCTX_LOCAL_SERVER = 0x4;
inline constexpr DWORD CLSCTX_ALL = 0x17;

// Registers (or replaces) the class. A ProgID already naming another class is moved to this
// one. E_INVALIDARG for an empty factory or a ProgID that is empty, longer than 39 characters,
// starts with a digit or holds characters other than letters, digits and periods.
HRESULT register_class(REFCLSID clsid, std::string_view prog_id,
                       std::string_view version_independent_prog_id, ClassFactory factory);
// Removes the class and its ProgIDs; false when it was not registered.
bool unregister_class(REFCLSID clsid);

// Associates files whose names end in `extension` (".gauge"; compared without regard to ASCII
// case) with the class, as a file-type key does; com.GetObject binds a file's path through it.
// E_INVALIDARG for an extension that is not a period followed by letters, digits and
// underscores, REGDB_E_CLASSNOTREG for a class that is not registered. The association goes
// with the class.
HRESULT register_file_extension(std::string_view extension, REFCLSID clsid);
// The class registered for the extension of the file's name; MK_E_INVALIDEXTENSION when none.
HRESULT class_for_file(std::string_view path, CLSID* out);
// Whether the text has the form of a ProgID (see register_class).
bool is_prog_id_syntax(std::string_view text);

// The class named by a ProgID (either form); CO_E_CLASSSTRING when none is registered.
HRESULT clsid_from_prog_id(std::string_view prog_id, CLSID* out);
// The versioned ProgID of a class; REGDB_E_CLASSNOTREG when it is not registered.
HRESULT prog_id_from_clsid(REFCLSID clsid, std::string* out);
// "{...}" text or a ProgID, as CLSIDFromString reads it; CO_E_CLASSSTRING for anything else.
HRESULT clsid_from_string(std::string_view text, CLSID* out);

// Win32-shaped forms. ProgIDFromCLSID's text is allocated with CoTaskMemAlloc.
HRESULT CLSIDFromProgID(LPCOLESTR prog_id, CLSID* out);
HRESULT CLSIDFromString(LPCOLESTR text, CLSID* out);
HRESULT ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* out);
void* CoTaskMemAlloc(size_t size);
void CoTaskMemFree(void* block);

// A new instance of the class answering iid: REGDB_E_CLASSNOTREG for an unknown class,
// CLASS_E_NOAGGREGATION when an outer object is given (no registered class aggregates),
// otherwise what the factory answers. *object is null on failure.
HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid,
                         void** object);

}  // namespace quevro::com
