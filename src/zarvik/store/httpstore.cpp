// GETs of a store folder's objects with libcurl. `current` is asked for with
// "Cache-Control: no-cache" so that a cache in front revalidates it; every other object
// is immutable and may come from any cache.
#include "zarvik/store/httpstore.h"

#include <curl/curl.h>

#include <memory>

#include "zarvik/store/manifest.h"

namespace zarvik::store {
namespace {

struct Sink {
    QIODevice* into;
    qint64 maxBytes;
    qint64 received = 0;
    QString why;
};

size_t WriteBody(char* data, size_t size, size_t count, void* user) {
    Sink* sink = static_cast<Sink*>(user);
    const qint64 n = qint64(size) * qint64(count);
    sink->received += n;
    if (sink->received > sink->maxBytes) {
        sink->why = QStringLiteral("the object is larger than %1 bytes").arg(sink->maxBytes);
        return 0;
    }
    if (sink->into->write(data, n) != n) {
        sink->why = QStringLiteral("cannot write what arrived: ") + sink->into->errorString();
        return 0;
    }
    return size_t(n);
}

}  // namespace

HttpStore::HttpStore(QString url) : m_url(std::move(url)) {
    if (m_url.endsWith(QLatin1Char('/'))) m_url.chop(1);
    curl_global_init(CURL_GLOBAL_DEFAULT);
}

qint64 HttpStore::Fetch(const QString& name, qint64 maxBytes, QIODevice& into) {
    std::unique_ptr<CURL, void (*)(CURL*)> curl(curl_easy_init(), curl_easy_cleanup);
    std::unique_ptr<curl_slist, void (*)(curl_slist*)> headers(nullptr, curl_slist_free_all);
    if (name == QLatin1String("current"))
        headers.reset(curl_slist_append(nullptr, "Cache-Control: no-cache"));
    const QByteArray url = (m_url + QLatin1Char('/') + name).toUtf8();
    Sink sink{&into, maxBytes, 0, {}};
    char message[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(curl.get(), CURLOPT_URL, url.constData());
    curl_easy_setopt(curl.get(), CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(curl.get(), CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(curl.get(), CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl.get(), CURLOPT_CONNECTTIMEOUT, 10L);
    curl_easy_setopt(curl.get(), CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_LOW_SPEED_TIME, 60L);
    curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_ERRORBUFFER, message);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, WriteBody);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &sink);
    const CURLcode rc = curl_easy_perform(curl.get());
    if (rc != CURLE_OK) {
        const QString why = !sink.why.isEmpty() ? sink.why
                            : message[0]        ? QString::fromUtf8(message)
                                                : QString::fromUtf8(curl_easy_strerror(rc));
        Refuse(name, QStringLiteral("in the store %1: %2").arg(m_url, why));
    }
    return sink.received;
}

void HttpStore::Upload(const QString&, const QString&) {
    Refuse(m_url, QStringLiteral("publishing over HTTP is not implemented yet; publish to an rclone path"));
}
bool HttpStore::ReplaceIf(const QString& localPath, const QString& name, const QByteArray&, QByteArray*) {
    Upload(localPath, name);
    return false;
}
QList<ObjectInfo> HttpStore::List() {
    Refuse(m_url, QStringLiteral("listing over HTTP is not implemented yet; publish to an rclone path"));
}
void HttpStore::Delete(const QString& name) {
    Upload(QString(), name);
}

}  // namespace zarvik::store
