// A small real index for tests that search: five short documents with a stored URL.
#pragma once

#include <QString>

namespace testsupport {

struct SmallDoc {
    int id;
    const char* title;
    const char* body;
    const char* url;
};

inline constexpr SmallDoc kSmallDocs[] = {
    {1, "Running shoes", "She was running in the park every morning", "https://example.org/1"},
    {2, "Run", "A quick run before breakfast, then running again", "https://example.org/2"},
    {3, "Dessert", "Crème brûlée at the café", "https://example.org/3"},
    {4, "Furniture", "Wooden tables and chairs for the garden", "https://example.org/4"},
    {5, "Garden run", "A run through the garden at dawn", "https://example.org/5"},
};

// Writes the documents into a SQLite file in `folder` and builds the index from
// "SELECT DOCID, TITLE, BODY, URL FROM DOCUMENT" with URL stored; returns the index
// folder. Raises component::Error when the build fails.
QString BuildSmallIndex(const QString& folder);

}  // namespace testsupport
