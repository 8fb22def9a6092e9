/* lumora_match(text): what a person typed into a search box, as an FTS5 query that
 * FTS5 never rejects. The README writes the same rules out in Python and PHP for
 * readers that cannot load an extension; the three give the same query.
 *
 * - Only the first 1,000 bytes count (cut at a character boundary) and only the
 *   first 32 words, so no input makes a query slow.
 * - Words are separated by ASCII spaces and control characters (invalid UTF-8 counts
 *   as a space here). Every word is quoted, so operators (AND, OR, NOT, NEAR, -, +,
 *   *, ^, :, parentheses) and punctuation are only text; the tokenizer then splits a
 *   word such as e-mail into the phrase "e mail".
 * - Text between two double quotes is one phrase; a quote left open is a space.
 * - The last word, when not in a phrase, is a prefix ("ocea" finds "ocean").
 * - No word at all gives "", which matches nothing. */
#include <string.h>

#include "snowball/snowball.h"
#include "snowball/sqliteapi.h"

#define kMostBytes 1000
#define kMostWords 32

/* The length of the UTF-8 character at s (1 to 4), or 0 when it is not one. */
static int CharLength(const unsigned char* s, int n) {
    if (s[0] < 0x80) return 1;
    int length = s[0] >= 0xF0 ? 4 : s[0] >= 0xE0 ? 3 : 2;
    if (s[0] < 0xC2 || s[0] > 0xF4 || length > n) return 0;
    for (int i = 1; i < length; ++i)
        if ((s[i] & 0xC0) != 0x80) return 0;
    if ((s[0] == 0xE0 && s[1] < 0xA0) || (s[0] == 0xED && s[1] >= 0xA0) || (s[0] == 0xF0 && s[1] < 0x90) ||
        (s[0] == 0xF4 && s[1] >= 0x90))
        return 0;
    return length;
}

static int IsSpace(unsigned char c) {
    return c <= 0x20 || c == 0x7F;
}

/* The length of the word at s: up to a space, a quote or a byte that starts no
 * character. */
static int WordLength(const unsigned char* s, int n) {
    int i = 0;
    while (i < n && !IsSpace(s[i]) && s[i] != '"') {
        const int length = CharLength(s + i, n - i);
        if (!length) break;
        i += length;
    }
    return i;
}

static int Usable(const unsigned char* text, int n) {
    if (n <= kMostBytes) return n;
    n = kMostBytes;
    while (n > 0 && (text[n] & 0xC0) == 0x80) --n;
    return n;
}

/* The quote that has no partner (the last of an odd number), or -1. */
static int OpenQuote(const unsigned char* text, int n) {
    int count = 0, last = -1;
    for (int i = 0; i < n; ++i)
        if (text[i] == '"') ++count, last = i;
    return count % 2 ? last : -1;
}

char* lumora_match_query(const char* input, int size) {
    const unsigned char* text = (const unsigned char*)(input ? input : "");
    const int n = Usable(text, input ? size : 0);
    const int open = OpenQuote(text, n);
    /* Quotes and spaces at most double the text; each word adds 3 bytes. */
    char* out = sqlite3_malloc(2 * n + 3 * kMostWords + 8);
    if (!out) return NULL;
    int used = 0, words = 0, phraseStart = -1, phraseWords = 0, lastBare = 0;
    for (int i = 0; i < n;) {
        if (text[i] == '"' && i != open) {
            if (phraseStart < 0) {
                phraseStart = used;
                if (used) out[used++] = ' ';
                out[used++] = '"';
                phraseWords = 0;
            } else {
                if (phraseWords)
                    out[used++] = '"', lastBare = 0;
                else
                    used = phraseStart; /* an empty phrase is left out */
                phraseStart = -1;
            }
            ++i;
            continue;
        }
        const int length = WordLength(text + i, n - i);
        if (length == 0) {
            ++i;
            continue;
        }
        if (words < kMostWords) {
            if (phraseStart >= 0) {
                if (phraseWords++) out[used++] = ' ';
            } else {
                if (used) out[used++] = ' ';
                out[used++] = '"';
            }
            memcpy(out + used, text + i, (size_t)length);
            used += length;
            if (phraseStart < 0) out[used++] = '"';
            lastBare = phraseStart < 0, ++words;
        }
        i += length;
    }
    if (used == 0)
        out[used++] = '"', out[used++] = '"';
    else if (lastBare)
        out[used++] = '*';
    out[used] = 0;
    return out;
}
