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
 * - The last word, when not in a phrase, is also a prefix ("ocea" finds "ocean"):
 *   ("ocea" OR "ocea" OR "ocea" OR "ocea"*), after "AND" when other words come before
 *   it. bm25 adds up the phrases of a query, so a
 *   document holding the word itself scores for all four and ranks before one that only
 *   holds a longer word it begins; thrice was the fewest copies that put the exact
 *   entries first for 95 % of GCIDE's headwords that begin longer ones
 *   (bench/searchbox.py).
 * - No word at all gives "", which matches nothing. */
#include <string.h>

#include "snowball/snowball.h"
#include "snowball/sqliteapi.h"
#include "snowball/vocabulary.h"

#define kMostBytes 1000
#define kMostWords 32
#define kExactCopies 3

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

/* The query as it is written: each item (a word or a phrase) after the ones before,
 * separated by a space, or by AND where corrections may make an item a parenthesis
 * (FTS5 joins a parenthesis to its neighbours only by an explicit AND). */
typedef struct Builder {
    char* out;
    int used;
    lumora_correct correct; /* NULL: no corrections */
    void* context;
    int rc;
    int lastStart; /* where the item of the last bare word starts */
    const unsigned char* lastWord;
    int lastLength;
    int lastCorrected;
} Builder;

static void Separate(Builder* b) {
    if (!b->used) return;
    if (b->correct) {
        memcpy(b->out + b->used, " AND ", 5);
        b->used += 5;
    } else {
        b->out[b->used++] = ' ';
    }
}

static void Quote(Builder* b, const unsigned char* word, int length) {
    b->out[b->used++] = '"';
    memcpy(b->out + b->used, word, (size_t)length);
    b->used += length;
    b->out[b->used++] = '"';
}

/* A word outside quotes: as typed, or the terms the corrector offers for it. */
static void BareWord(Builder* b, const unsigned char* word, int length) {
    Separate(b);
    b->lastStart = b->used, b->lastWord = word, b->lastLength = length, b->lastCorrected = 0;
    if (b->correct) {
        const int n =
            b->correct(b->context, (const char*)word, length, 0, b->out + b->used, LUMORA_CORRECTION_ROOM);
        if (n < 0) b->rc = -n;
        if (n > 0) b->used += n, b->lastCorrected = 1;
        if (n) return;
    }
    Quote(b, word, length);
}

/* Turns the quoted last word at out + start (up to used) into the exact word given
 * kExactCopies times OR the prefix, in parentheses, after an AND when words come before
 * it and the separators are spaces. Returns the new length. */
static int ExactOrPrefix(char* out, int start, int used, int needsAnd) {
    const int quoted = used - start, and = needsAnd ? 4 : 0;
    char* word = out + start + and;
    memmove(word + 1, out + start, (size_t)quoted);
    if (and) memcpy(out + start, "AND ", 4);
    word[0] = '(';
    int at = start + and + 1 + quoted;
    for (int i = 0; i < kExactCopies; ++i) {
        memcpy(out + at, " OR ", 4);
        memcpy(out + at + 4, word + 1, (size_t)quoted);
        at += 4 + quoted;
    }
    out[at++] = '*';
    out[at++] = ')';
    return at;
}

/* The last word is also a prefix; a corrected one keeps its corrections only when the
 * index holds no word it begins either. */
static void LastWord(Builder* b) {
    if (b->lastCorrected) {
        const int n = b->correct(b->context, (const char*)b->lastWord, b->lastLength, 1,
                                 b->out + b->lastStart, LUMORA_CORRECTION_ROOM);
        if (n < 0) b->rc = -n;
        if (n) {
            b->used = b->lastStart + (n > 0 ? n : 0);
            return;
        }
        b->used = b->lastStart;
        Quote(b, b->lastWord, b->lastLength);
    }
    b->used = ExactOrPrefix(b->out, b->lastStart, b->used, b->lastStart && !b->correct);
}

char* lumora_match_build(const char* input, int size, lumora_correct correct, void* context, int* rc) {
    const unsigned char* text = (const unsigned char*)(input ? input : "");
    const int n = Usable(text, input ? size : 0);
    const int open = OpenQuote(text, n);
    /* Quotes and spaces at most double the text; each word adds 3 bytes (7 with AND);
     * the copies of the last word and their ORs add at most (kExactCopies + 1) times
     * it; corrections take at most their room. */
    const int room = correct ? kMostWords * (LUMORA_CORRECTION_ROOM + 8) : 0;
    Builder b = {sqlite3_malloc((3 + kExactCopies) * n + 3 * kMostWords + 8 * kExactCopies + 16 + room),
                 0,
                 correct,
                 context,
                 SQLITE_OK,
                 0,
                 NULL,
                 0,
                 0};
    if (!b.out) return NULL;
    int words = 0, phraseStart = -1, phraseWords = 0, lastBare = 0;
    for (int i = 0; i < n && b.rc == SQLITE_OK;) {
        if (text[i] == '"' && i != open) {
            if (phraseStart < 0) {
                phraseStart = b.used;
                Separate(&b);
                b.out[b.used++] = '"';
                phraseWords = 0;
            } else {
                if (phraseWords)
                    b.out[b.used++] = '"', lastBare = 0;
                else
                    b.used = phraseStart; /* an empty phrase is left out */
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
            if (phraseStart < 0) {
                BareWord(&b, text + i, length);
            } else {
                if (phraseWords++) b.out[b.used++] = ' ';
                memcpy(b.out + b.used, text + i, (size_t)length);
                b.used += length;
            }
            lastBare = phraseStart < 0, ++words;
        }
        i += length;
    }
    if (b.used == 0)
        b.out[b.used++] = '"', b.out[b.used++] = '"';
    else if (lastBare && b.rc == SQLITE_OK)
        LastWord(&b);
    b.out[b.used] = 0;
    if (rc) *rc = b.rc;
    return b.out;
}

char* lumora_match_query(const char* input, int size) {
    return lumora_match_build(input, size, NULL, NULL, NULL);
}
