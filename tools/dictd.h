// Reading a dictionary in dictd's format (the GCIDE package's gcide.index and
// gcide.dict.dz), for the demo's and the benchmark's documents.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <string>

namespace dictd {

// dictd writes offsets and lengths in base 64, most significant digit first; -1 for a
// text that is not such a number.
inline std::int64_t DecodeNumber(const std::string& s) {
    static const std::string digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::int64_t n = 0;
    for (char c : s) {
        const auto pos = digits.find(c);
        if (pos == std::string::npos) return -1;
        n = n * 64 + std::int64_t(pos);
    }
    return n;
}

struct Entry {
    std::int64_t length = 0;
    std::string headword;  // the first headword the index lists the entry under
};

// The entries of an index file by their offset in the text: an entry listed under
// several headwords is one entry. keep(headword) leaves out the entries it refuses.
// False when the file cannot be read.
inline bool ReadIndex(const std::string& path, const std::function<bool(const std::string&)>& keep,
                      std::map<std::int64_t, Entry>& entries) {
    FILE* index = std::fopen(path.c_str(), "r");
    if (!index) return false;
    char line[4096];
    while (std::fgets(line, sizeof line, index)) {
        std::string l(line);
        while (!l.empty() && (l.back() == '\n' || l.back() == '\r')) l.pop_back();
        const auto t1 = l.find('\t');
        const auto t2 = t1 == std::string::npos ? t1 : l.find('\t', t1 + 1);
        if (t2 == std::string::npos) continue;
        const std::string head = l.substr(0, t1);
        if (head.empty() || !keep(head)) continue;
        const std::int64_t offset = DecodeNumber(l.substr(t1 + 1, t2 - t1 - 1));
        const std::int64_t length = DecodeNumber(l.substr(t2 + 1));
        if (offset < 0 || length <= 0) continue;
        entries.emplace(offset, Entry{length, head});
    }
    std::fclose(index);
    return true;
}

// The unpacked text of a .dict.dz file, read through gzip (a .dz file is gzip with
// extra headers); close it with pclose, whose status tells whether it all unpacked.
inline FILE* OpenText(const std::string& dictPath) {
    const std::string command = "gzip -dc '" + dictPath + "'";
    return popen(command.c_str(), "r");
}

}  // namespace dictd
