/* Base64 (RFC 4648) encoding and decoding, whole or in pieces. The native half of the script
 * module base64, which carries this library's bytes and loads them from memory. */
#ifndef NATIVE_HALVES_BASE64_H
#define NATIVE_HALVES_BASE64_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Flags: the URL and file-name safe alphabet ('-' and '_' for '+' and '/'); for encoding, no
 * '=' padding at the end. */
#define BASE64_URL 1
#define BASE64_NO_PADDING 2

/* The state of an encoding or decoding in pieces. Callers treat it as opaque bytes; its size is
 * fixed (16 bytes) so that script code can allocate it. */
struct base64_state {
  uint32_t bits;     /* bits carried to the next piece, at the low end */
  int32_t count;     /* encoding: bytes carried (0-2); decoding: characters of the current group (0-3) */
  int32_t flags;
  int32_t padding;   /* decoding: '=' characters seen (the text has ended when non-zero) */
};

/* Encodes srclen bytes into out, which must hold 4 * ((srclen + 2) / 3) bytes; *outlen is set
 * to the count written. */
void base64_encode(const char* src, size_t srclen, char* out, size_t* outlen, int flags);

/* Decodes a whole text into out, which must hold 3 * (srclen / 4) + 2 bytes. ASCII blanks and
 * line ends are skipped; the final group may omit its padding. Returns 1 on success and 0 when
 * the text is not Base64 (a character outside the alphabet, padding in the middle, a lone final
 * character); *outlen is the count written either way. */
int base64_decode(const char* src, size_t srclen, char* out, size_t* outlen, int flags);

void base64_stream_encode_init(struct base64_state* state, int flags);
/* out must hold 4 * ((srclen + 2) / 3) + 4 bytes. */
void base64_stream_encode(struct base64_state* state, const char* src, size_t srclen, char* out, size_t* outlen);
/* Writes the last group with its padding; out must hold 4 bytes. */
void base64_stream_encode_final(struct base64_state* state, char* out, size_t* outlen);

void base64_stream_decode_init(struct base64_state* state, int flags);
/* Decodes one piece; out must hold 3 * (srclen / 4) + 3 bytes. Returns 1 while the text is
 * valid so far, 0 on invalid input (the state then stays failed). The text is complete when the
 * state's count is not 1 (see base64_stream_decode_complete). */
int base64_stream_decode(struct base64_state* state, const char* src, size_t srclen, char* out, size_t* outlen);
/* 1 when the text decoded so far is a complete Base64 text, else 0. */
int base64_stream_decode_complete(const struct base64_state* state);

#ifdef __cplusplus
}
#endif

#endif
