/* Base64 (RFC 4648): a table-driven encoder and decoder over a small state, so that the whole
 * and the piecewise forms share one code path. */
#include "base64.h"

#define EXPORT __attribute__((visibility("default")))

static const char STANDARD[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
static const char URL_SAFE[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

/* Decoding classes beyond the 64 digit values. */
enum { SKIP = 64, PAD = 65, BAD = 66 };
/* A failed decoding state keeps this count, so that every later piece fails too. */
enum { FAILED = -1 };

static const char* alphabet(int flags) { return (flags & BASE64_URL) ? URL_SAFE : STANDARD; }

static int class_of(unsigned char c, int flags) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (flags & BASE64_URL) {
    if (c == '-') return 62;
    if (c == '_') return 63;
  } else {
    if (c == '+') return 62;
    if (c == '/') return 63;
  }
  if (c == '=') return PAD;
  if (c == ' ' || c == '\t' || c == '\r' || c == '\n') return SKIP;
  return BAD;
}

static void reset(struct base64_state* state, int flags) {
  state->bits = 0;
  state->count = 0;
  state->flags = flags;
  state->padding = 0;
}

EXPORT void base64_stream_encode_init(struct base64_state* state, int flags) { reset(state, flags); }

EXPORT void base64_stream_encode(struct base64_state* state, const char* src, size_t srclen, char* out,
                                 size_t* outlen) {
  const char* digits = alphabet(state->flags);
  const unsigned char* in = (const unsigned char*)src;
  size_t n = 0;
  uint32_t bits = state->bits;
  int count = state->count;
  for (size_t i = 0; i < srclen; i++) {
    bits = (bits << 8) | in[i];
    if (++count == 3) {
      out[n++] = digits[(bits >> 18) & 63];
      out[n++] = digits[(bits >> 12) & 63];
      out[n++] = digits[(bits >> 6) & 63];
      out[n++] = digits[bits & 63];
      bits = 0;
      count = 0;
    }
  }
  state->bits = bits;
  state->count = count;
  *outlen = n;
}

EXPORT void base64_stream_encode_final(struct base64_state* state, char* out, size_t* outlen) {
  const char* digits = alphabet(state->flags);
  int pad = !(state->flags & BASE64_NO_PADDING);
  size_t n = 0;
  uint32_t bits = state->bits;
  if (state->count == 1) {
    out[n++] = digits[(bits >> 2) & 63];
    out[n++] = digits[(bits << 4) & 63];
    if (pad) {
      out[n++] = '=';
      out[n++] = '=';
    }
  } else if (state->count == 2) {
    out[n++] = digits[(bits >> 10) & 63];
    out[n++] = digits[(bits >> 4) & 63];
    out[n++] = digits[(bits << 2) & 63];
    if (pad) out[n++] = '=';
  }
  state->bits = 0;
  state->count = 0;
  *outlen = n;
}

EXPORT void base64_encode(const char* src, size_t srclen, char* out, size_t* outlen, int flags) {
  struct base64_state state;
  size_t body = 0, tail = 0;
  base64_stream_encode_init(&state, flags);
  base64_stream_encode(&state, src, srclen, out, &body);
  base64_stream_encode_final(&state, out + body, &tail);
  *outlen = body + tail;
}

EXPORT void base64_stream_decode_init(struct base64_state* state, int flags) { reset(state, flags); }

/* Bytes are written as soon as their bits are known: two characters give the first byte of a
 * group, three the second, four the third. */
EXPORT int base64_stream_decode(struct base64_state* state, const char* src, size_t srclen, char* out,
                                size_t* outlen) {
  const unsigned char* in = (const unsigned char*)src;
  size_t n = 0;
  uint32_t bits = state->bits;
  int count = state->count;
  int padding = state->padding;
  int ok = count != FAILED;
  for (size_t i = 0; ok && i < srclen; i++) {
    int v = class_of(in[i], state->flags);
    if (v == SKIP) continue;
    if (v == BAD) {
      ok = 0;
    } else if (v == PAD) {
      /* Padding completes a group of two or three characters, and nothing follows it. */
      if (count + padding < 2 || count + padding >= 4) ok = 0;
      else padding++;
    } else if (padding) {
      ok = 0;
    } else {
      bits = (bits << 6) | (uint32_t)v;
      count++;
      if (count == 2) out[n++] = (char)((bits >> 4) & 0xFF);
      else if (count == 3) out[n++] = (char)((bits >> 2) & 0xFF);
      else if (count == 4) {
        out[n++] = (char)(bits & 0xFF);
        bits = 0;
        count = 0;
      }
    }
  }
  if (!ok) count = FAILED;
  state->bits = bits;
  state->count = count;
  state->padding = padding;
  *outlen = n;
  return ok;
}

EXPORT int base64_stream_decode_complete(const struct base64_state* state) {
  if (state->count == FAILED || state->count == 1) return 0;
  /* With padding, the group must be complete: "QQ=" lacks one '='. */
  if (state->padding && state->count + state->padding != 4) return 0;
  return 1;
}

EXPORT int base64_decode(const char* src, size_t srclen, char* out, size_t* outlen, int flags) {
  struct base64_state state;
  base64_stream_decode_init(&state, flags);
  if (!base64_stream_decode(&state, src, srclen, out, outlen)) return 0;
  return base64_stream_decode_complete(&state);
}
