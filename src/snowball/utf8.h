/* UTF-8 a character at a time, for the corrections of lumora_match: the code points
 * of a word or term, and a character written back; Fold lowers the cases the index's
 * terms are folded in. */
#ifndef LUMORA_SNOWBALL_UTF8_H
#define LUMORA_SNOWBALL_UTF8_H

/* One character of UTF-8 at s (valid, n > 0): its code point; *length its bytes. */
static inline unsigned Decode(const unsigned char* s, int n, int* length) {
    if (s[0] < 0x80 || n < 2) return *length = 1, s[0];
    if (s[0] < 0xE0) return *length = 2, ((s[0] & 0x1Fu) << 6) | (s[1] & 0x3Fu);
    if (s[0] < 0xF0 || n < 4)
        return *length = n < 3 ? n : 3, ((s[0] & 0x0Fu) << 12) | ((s[1] & 0x3Fu) << 6) | (s[2] & 0x3Fu);
    *length = 4;
    return ((s[0] & 0x07u) << 18) | ((s[1] & 0x3Fu) << 12) | ((s[2] & 0x3Fu) << 6) | (s[3] & 0x3Fu);
}

static inline int Encode(unsigned c, char* out) {
    if (c < 0x80) return out[0] = (char)c, 1;
    if (c < 0x800) return out[0] = (char)(0xC0 | (c >> 6)), out[1] = (char)(0x80 | (c & 0x3F)), 2;
    if (c < 0x10000) {
        out[0] = (char)(0xE0 | (c >> 12)), out[1] = (char)(0x80 | ((c >> 6) & 0x3F));
        return out[2] = (char)(0x80 | (c & 0x3F)), 3;
    }
    out[0] = (char)(0xF0 | (c >> 18)), out[1] = (char)(0x80 | ((c >> 12) & 0x3F));
    out[2] = (char)(0x80 | ((c >> 6) & 0x3F)), out[3] = (char)(0x80 | (c & 0x3F));
    return 4;
}

/* Upper case to lower for the alphabets whose cases lie a fixed step apart (Latin,
 * Greek, Cyrillic), as the index's terms are folded. */
static inline unsigned Fold(unsigned c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7) || (c >= 0x391 && c <= 0x3A9) ||
        (c >= 0x410 && c <= 0x42F))
        return c + 0x20;
    if (c >= 0x400 && c <= 0x40F) return c + 0x50;
    return c;
}

/* The code points of size bytes (at most most of them); -1 when there are more. */
static inline int CodePoints(const char* text, int size, unsigned* out, int most, int fold) {
    int count = 0;
    for (int i = 0, length = 0; i < size; i += length) {
        if (count == most) return -1;
        const unsigned c = Decode((const unsigned char*)text + i, size - i, &length);
        out[count++] = fold ? Fold(c) : c;
    }
    return count;
}

#endif
