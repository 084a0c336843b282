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

// Reads the field of the table at idx as a string; empty when absent.
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

bool read_parameters(VmState* L, int member, MemberDescription* out, std::string* error) {
  raw_get_field(L, member, "params");
  int list = get_top(L);
  bool ok = true;
  if (type_of(L, list) == TAG_TABLE) {
    int64_t n = RawTable(L, list).length();
    for (int64_t i = 1; ok && i <= n; ++i) {
      raw_get_index(L, list, i);
      int p = get_top(L);
      ParameterDescription parameter;
      if (type_of(L, p) != TAG_TABLE) {
        *error = "parameter " + std::to_string(i) + " of " + out->name + " is not a table";
        ok = false;
      } else {
        parameter.name = text_field(L, p, "name");
        if (parameter.name.empty()) parameter.name = "p" + std::to_string(i);
        ok = read_type(L, p, "type", VT_VARIANT, &parameter.type, error);
        parameter.flags = flag_field(L, p, "out") ? (PARAMFLAG_FIN | PARAMFLAG_FOUT) : PARAMFLAG_FIN;
        if (parameter.type & VT_BYREF) parameter.flags |= PARAMFLAG_FOUT;
        if (flag_field(L, p, "optional")) parameter.flags |= PARAMFLAG_FOPT;
        out->parameters.push_back(parameter);
      }
      pop(L, 1);
    }
  }
  set_top(L, list - 1);
  return ok;
}

bool read_members(VmState* L, int type, TypeDescription* out, std::string* error) {
  raw_get_field(L, type, "members");
  int list = get_top(L);
  bool ok = true;
  std::map<std::string, MEMBERID> ids;
  MEMBERID next_id = 1;
  if (type_of(L, list) == TAG_TABLE) {
    int64_t n = RawTable(L, list).length();
    for (int64_t i = 1; ok && i <= n; ++i) {
      raw_get_index(L, list, i);
      int m = get_top(L);
      MemberDescription member;
      member.name = type_of(L, m) == TAG_TABLE ? text_field(L, m, "name") : std::string();
      if (member.name.empty()) {
        *error = "member " + std::to_string(i) + " of " + out->name + " has no name";
        ok = false;
      } else {
        bool kind_ok;
        member.kind = kind_of_text(text_field(L, m, "kind"), &kind_ok);
        if (!kind_ok) {
          *error = "unknown kind of member " + member.name;
          ok = false;
        }
        raw_get_field(L, m, "id");
        if (is_number(L, -1)) {
          member.id = to_integer(L, -1);
        } else if (ids.count(member.name)) {
          member.id = ids[member.name];
        } else {
          while (true) {
            bool taken = false;
            for (auto& entry : ids) taken = taken || entry.second == next_id;
            if (!taken) break;
            ++next_id;
          }
          member.id = next_id++;
        }
        pop(L, 1);
        ids[member.name] = member.id;
        ok = ok && read_type(L, m, "result", VT_EMPTY, &member.result, error) &&
             read_parameters(L, m, &member, error);
        out->members.push_back(member);
      }
      pop(L, 1);
    }
  }
  set_top(L, list - 1);
  return ok;
}

bool read_implemented(VmState* L, int type, TypeDescription* out, std::string* error) {
  raw_get_field(L, type, "implements");
  int list = get_top(L);
  bool ok = true;
  if (type_of(L, list) == TAG_TABLE) {
    int64_t n = RawTable(L, list).length();
    for (int64_t i = 1; ok && i <= n; ++i) {
      raw_get_index(L, list, i);
      ImplementedDescription implemented;
      if (is_string(L, -1)) {
        implemented.name = to_string(L, -1);
      } else if (type_of(L, -1) == TAG_TABLE) {
        int e = get_top(L);
        implemented.name = text_field(L, e, "name");
        if (flag_field(L, e, "default")) implemented.flags |= IMPLTYPEFLAG_FDEFAULT;
        if (flag_field(L, e, "source")) implemented.flags |= IMPLTYPEFLAG_FSOURCE;
      }
      if (implemented.name.empty()) {
        *error = "entry " + std::to_string(i) + " of " + out->name + "'s implements names no interface";
        ok = false;
      }
      out->implemented.push_back(implemented);
      pop(L, 1);
    }
  }
  set_top(L, list - 1);
  return ok;
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
  int list = get_top(L);
  bool ok = type_of(L, list) == TAG_TABLE;
  if (!ok) *error = "the description has no types";
  int64_t n = ok ? RawTable(L, list).length() : 0;
  for (int64_t i = 1; ok && i <= n; ++i) {
    raw_get_index(L, list, i);
    TypeDescription type;
    if (type_of(L, -1) != TAG_TABLE) {
      *error = "type " + std::to_string(i) + " is not a table";
      ok = false;
    } else {
      ok = read_type_description(L, get_top(L), out->name, &type, error);
    }
    out->types.push_back(std::move(type));
    pop(L, 1);
  }
  set_top(L, list - 1);
  return ok;
}

}  // namespace quevro::com
