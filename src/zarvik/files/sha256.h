// The one SHA-256 of the program: index files, store objects and copies are all hashed
// here, through libcrypto, which uses the processor's SHA instructions where it has
// them (about five times Qt's own on a whole index, measured on GCIDE).
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <memory>

struct evp_md_ctx_st;

namespace zarvik::files {

class Sha256 {
public:
    // Raises std::bad_alloc when libcrypto has no memory for its context, the only
    // way its digest calls fail.
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void Add(QByteArrayView data);
    // The 32 bytes of the digest of everything added; call once.
    QByteArray Result();

    // The digest of `data` at once.
    static QByteArray Of(QByteArrayView data);

private:
    std::unique_ptr<evp_md_ctx_st, void (*)(evp_md_ctx_st*)> m_context;
};

}  // namespace zarvik::files
