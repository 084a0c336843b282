#include "com/type_library_reader.h"

#include <cstring>
#include <map>

namespace quevro::com {
namespace {

struct TypeKeyword {
  const char* name;
  VARTYPE vt;
};

constexpr TypeKeyword TYPE_KEYWORDS[] = {
    {"variant", VT_VARIANT}, {"int", VT_I4},       {"word", VT_I2},      {"float", VT_R4},
    {"double", VT_R8},       {"string", VT_BSTR},  {"bool", VT_BOOL},    {"date", VT_DATE},
    {"object", VT_DISPATCH}, {"unknown", VT_UNKNOWN}, {"byte", VT_I1},   {"BYTE", VT_UI1},
    {"WORD", VT_UI2},        {"INT", VT_UI4},      {"long", VT_I8},      {"LONG", VT_UI8},
    {"currency", VT_CY},     {"decimal", VT_DECIMAL}, {"void", VT_EMPTY},
};

bool flag_field(VmState* L, int idx, const char* field) {
  raw_get_field(L, idx, field);
  bool on = to_boolean(L, -1);
  pop(L, 1);
  return on;
}

bool type_of_text(const std::string& text, VARTYPE* out) {
  std::string base = text;
  VARTYPE flags = 0;
  if (!base.empty() && base.back() == '&') {
    flags |= VT_BYREF;
    base.pop_back();
  }
  if (base.size() > 2 && base.compare(base.size() - 2, 2, "[]") == 0) {
    flags |= VT_ARRAY;
    base.resize(base.size() - 2);
  }
  for (const TypeKeyword& k : TYPE_KEYWORDS) {
    if (base == k.name) {
      *out = static_cast<VARTYPE>(k.vt | flags);
      return true;
    }
  }
  return false;
}

// A type given as a keyword or a number; `fallback` when absent.
bool read_type(VmState* L, int idx, const char* field, VARTYPE fallback, VARTYPE* out, std::string* error) {
  raw_get_field(L, idx, field);
  bool ok = true;
  if (type_of(L, -1) == TAG_NULL) {
    *out = fallback;
  } else if (type_of(L, -1) == TAG_NUMBER) {
    *out = static_cast<VARTYPE>(to_integer(L, -1));
  } else if (!is_string(L, -1) || !type_of_text(to_string(L, -1), out)) {
    *error = std::string("unknown type in field '") + field + "'";
    ok = false;
  }
  pop(L, 1);
  return ok;
}

// A GUID from the field, or one made from the names (FNV-1a over them, laid out as a GUID).
bool read_guid(VmState* L, int idx, const std::string& seed, GUID* out, std::string* error) {
  std::string text = text_field(L, idx, "guid");
  if (!text.empty()) {
    if (guid_from_string(text, out)) return true;
    *error = "invalid guid " + text;
    return false;
  }
  uint64_t a = 1469598103934665603ull, b = 1099511628211ull * 7;
  for (unsigned char c : seed) {
    a = (a ^ c) * 1099511628211ull;
    b = (b ^ c) * 0x100000001B3ull + a;
  }
  std::memcpy(out, &a, 8);
  std::memcpy(reinterpret_cast<char*>(out) + 8, &b, 8);
  return true;
}

INVOKEKIND kind_of_text(const std::string& text, bool* ok) {
  *ok = true;
  if (text.empty() || text == "method") return INVOKE_FUNC;
  if (text == "get") return INVOKE_PROPERTYGET;
  if (text == "put") return INVOKE_PROPERTYPUT;
  if (text == "putref") return INVOKE_PROPERTYPUTREF;
  *ok = false;
  return INVOKE_FUNC;
}

// Calls read(i, element index) for the elements 1..n of the list in the table's field (none
// when the field is absent) until one fails; the stack is as it was afterwards.
template <class F>
bool read_list(VmState* L, int table, const char* field, F read) {
  int base = get_top(L);
  raw_get_field(L, table, field);
  int list = get_top(L);
  bool ok = true;
  int64_t n = type_of(L, list) == TAG_TABLE ? RawTable(L, list).length() : 0;
  for (int64_t i = 1; ok && i <= n; ++i) {
    raw_get_index(L, list, i);
    ok = read(i, get_top(L));
    set_top(L, list);
  }
  set_top(L, base);
  return ok;
}

bool read_parameters(VmState* L, int member, MemberDescription* out, std::string* error) {
  return read_list(L, member, "params", [&](int64_t i, int p) {
    ParameterDescription parameter;
    if (type_of(L, p) != TAG_TABLE) {
      *error = "parameter " + std::to_string(i) + " of " + out->name + " is not a table";
      return false;
    }
    parameter.name = text_field(L, p, "name");
    if (parameter.name.empty()) parameter.name = "p" + std::to_string(i);
    bool ok = read_type(L, p, "type", VT_VARIANT, &parameter.type, error);
    parameter.flags = flag_field(L, p, "out") ? (PARAMFLAG_FIN | PARAMFLAG_FOUT) : PARAMFLAG_FIN;
    if (parameter.type & VT_BYREF) parameter.flags |= PARAMFLAG_FOUT;
    if (flag_field(L, p, "optional")) parameter.flags |= PARAMFLAG_FOPT;
    out->parameters.push_back(parameter);
    return ok;
  });
}

// An identifier for a member without one: its name's, or the lowest one not yet taken.
MEMBERID next_free_id(const std::map<std::string, MEMBERID>& ids, MEMBERID* next_id) {
  for (;; ++*next_id) {
    bool taken = false;
    for (auto& entry : ids) taken = taken || entry.second == *next_id;
    if (!taken) return (*next_id)++;
  }
}

bool read_members(VmState* L, int type, TypeDescription* out, std::string* error) {
  std::map<std::string, MEMBERID> ids;
  MEMBERID next_id = 1;
  return read_list(L, type, "members", [&](int64_t i, int m) {
    MemberDescription member;
    member.name = type_of(L, m) == TAG_TABLE ? text_field(L, m, "name") : std::string();
    if (member.name.empty()) {
      *error = "member " + std::to_string(i) + " of " + out->name + " has no name";
      return false;
    }
    bool kind_ok;
    member.kind = kind_of_text(text_field(L, m, "kind"), &kind_ok);
    if (!kind_ok) {
      *error = "unknown kind of member " + member.name;
      return false;
    }
    raw_get_field(L, m, "id");
    if (is_number(L, -1))
      member.id = to_integer(L, -1);
    else if (ids.count(member.name))
      member.id = ids[member.name];
    else
      member.id = next_free_id(ids, &next_id);
    pop(L, 1);
    ids[member.name] = member.id;
    bool ok = read_type(L, m, "result", VT_EMPTY, &member.result, error) && read_parameters(L, m, &member, error);
    out->members.push_back(member);
    return ok;
  });
}

bool read_implemented(VmState* L, int type, TypeDescription* out, std::string* error) {
  return read_list(L, type, "implements", [&](int64_t i, int e) {
    ImplementedDescription implemented;
    if (is_string(L, e)) {
      implemented.name = to_string(L, e);
    } else if (type_of(L, e) == TAG_TABLE) {
      implemented.name = text_field(L, e, "name");
      if (flag_field(L, e, "default")) implemented.flags |= IMPLTYPEFLAG_FDEFAULT;
      if (flag_field(L, e, "source")) implemented.flags |= IMPLTYPEFLAG_FSOURCE;
    }
    if (implemented.name.empty()) {
      *error = "entry " + std::to_string(i) + " of " + out->name + "'s implements names no interface";
      return false;
    }
    out->implemented.push_back(implemented);
    return true;
  });
}

bool read_type_description(VmState* L, int t, const std::string& library, TypeDescription* out, std::string* error) {
  out->name = text_field(L, t, "name");
  if (out->name.empty()) {
    *error = "a type has no name";
    return false;
  }
  std::string kind = text_field(L, t, "kind");
  if (kind.empty() || kind == "dispatch") out->kind = TKIND_DISPATCH;
  else if (kind == "interface") out->kind = TKIND_INTERFACE;
  else if (kind == "coclass") out->kind = TKIND_COCLASS;
  else {
    *error = "unknown kind of type " + out->name;
    return false;
  }
  return read_guid(L, t, library + "." + out->name, &out->guid, error) &&
         read_members(L, t, out, error) && read_implemented(L, t, out, error);
}

}  // namespace

std::string text_field(VmState* L, int idx, const char* field) {
  raw_get_field(L, idx, field);
  std::string s;
  if (is_string(L, -1)) {
    size_t len;
    const char* p = to_lstring(L, -1, &len);
    s.assign(p, len);
  }
  pop(L, 1);
  return s;
}

bool read_type_library_description(VmState* L, int idx, TypeLibraryDescription* out, std::string* error) {
  if (idx < 0 && idx > REGISTRY_INDEX) idx = get_top(L) + idx + 1;
  if (type_of(L, idx) != TAG_TABLE) {
    *error = "the description is not a table";
    return false;
  }
  check_stack(L, 8);
  out->name = text_field(L, idx, "name");
  if (!read_guid(L, idx, out->name, &out->guid, error)) return false;
  raw_get_field(L, idx, "types");
  bool listed = type_of(L, -1) == TAG_TABLE;
  pop(L, 1);
  if (!listed) {
    *error = "the description has no types";
    return false;
  }
  return read_list(L, idx, "types", [&](int64_t i, int t) {
    TypeDescription type;
    if (type_of(L, t) != TAG_TABLE) {
      *error = "type " + std::to_string(i) + " is not a table";
      return false;
    }
    bool ok = read_type_description(L, t, out->name, &type, error);
    out->types.push_back(std::move(type));
    return ok;
  });
}

}  // namespace quevro::com
