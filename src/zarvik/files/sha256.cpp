// libcrypto's digest calls, behind the one Sha256 class.
#include "zarvik/files/sha256.h"

#include <openssl/evp.h>

#include <new>

namespace zarvik::files {

Sha256::Sha256() : m_context(EVP_MD_CTX_new(), EVP_MD_CTX_free) {
    if (!m_context || EVP_DigestInit_ex(m_context.get(), EVP_sha256(), nullptr) != 1) throw std::bad_alloc();
}

Sha256::~Sha256() = default;

void Sha256::Add(QByteArrayView data) {
    if (!data.isEmpty() && EVP_DigestUpdate(m_context.get(), data.data(), size_t(data.size())) != 1)
        throw std::bad_alloc();
}

QByteArray Sha256::Result() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(m_context.get(), digest, &length) != 1) throw std::bad_alloc();
    return QByteArray(reinterpret_cast<const char*>(digest), qsizetype(length));
}

QByteArray Sha256::Of(QByteArrayView data) {
    Sha256 hash;
    hash.Add(data);
    return hash.Result();
}

}  // namespace zarvik::files
