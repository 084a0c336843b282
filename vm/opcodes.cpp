#include "vm/opcodes.h"

namespace quevro {

const char* const OPCODE_NAMES[OPCODE_COUNT] = {
    "LOADK",    "LOADBOOL",   "LOADNIL",   "GETUPVAL", "MOVE",     "GETNS",     "LOADNS",     "GETGLOBAL",
    "GETMETA",  "GETTABLE",   "GETTABLEN", "GETDIRECT", "SETNS",   "SETGLOBAL", "SETUPVAL",   "SETIFNULL",
    "SETMETA",  "SETTABLE",   "APPENDFIELD", "RAWSET", "SETTABLEF", "NEWTABLE", "ENTERNS",    "SELF",
    "ADD",      "SUB",        "MUL",       "DIV",      "MOD",      "POW",       "UNM",        "NOT",
    "LEN",      "CONCAT",     "JMP",       "EQ",       "EQSTRICT", "LT",        "LE",         "TEST",
    "TESTSET",  "TRY",        "CALL",      "TAILCALL", "RETURN",   "FORLOOP",   "FORPREP",    "TFORLOOP",
    "CALLIFFUNC", "TFORNEXT", "SETLIST",   "CLOSE",    "CLOSURE",  "BNOT",      "BAND",       "BOR",
    "BXOR",     "SHL",        "SAR",       "SHR",      "VARARG",
};

const uint8_t OPCODE_MODES[OPCODE_COUNT] = {
    113, 84,  96,  80,  96,  113, 65,  113, 96,  108, 108, 108, 49,  49,  16,  32,  48,  60,  60,  60, 60,
    84,  56,  108, 124, 124, 124, 124, 124, 124, 96,  96,  96,  104, 34,  188, 188, 188, 188, 228, 228,
    40,  84,  84,  16,  98,  98,  132, 0,   132, 20,  0,   81,  112, 124, 124, 124, 124, 124, 124, 80,
};

int fb_encode(unsigned x) {
  int e = 0;
  while (x >= 16) {
    x = (x + 1) >> 1;
    e++;
  }
  if (x < 8) return static_cast<int>(x);
  return ((e + 1) << 3) | (static_cast<int>(x) - 8);
}

}  // namespace quevro
