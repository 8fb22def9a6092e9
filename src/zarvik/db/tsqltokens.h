// The tokens of a SQL Server statement, as the dialect rewrite reads them.
#pragma once

#include <QChar>
#include <QList>
#include <QString>

namespace zarvik::db {

enum class Kind { Word, Number, String, QuotedName, Comment, Space, Punct };

struct Token {
    Kind kind;
    qsizetype begin;
    qsizetype end;
};

// Digits: ASCII ones, and any digit, ASCII without the Unicode tables.
bool IsAsciiDigit(char16_t u);
bool IsDigit(QChar c);

// The statement cut into tokens that cover it whole; `unterminated` is set when a
// literal, a quoted name or a comment runs to the end of the text.
QList<Token> Tokenize(const QString& s, bool& unterminated);

}  // namespace zarvik::db
