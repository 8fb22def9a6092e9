// A store folder read over HTTP(S) with libcurl: what a web server or CDN serves.
#pragma once

#include "zarvik/store/store.h"

namespace zarvik::store {

class HttpStore final : public Store {
public:
    explicit HttpStore(QString url);
    QString Name() const override { return m_url; }
    qint64 Fetch(const QString& name, qint64 maxBytes, QIODevice& into) override;
    void Upload(const QString& localPath, const QString& name) override;
    bool ReplaceIf(const QString& localPath, const QString& name, const QByteArray& expected,
                   QByteArray* found) override;
    QList<ObjectInfo> List() override;
    void Delete(const QString& name) override;

private:
    QString m_url;
};

}  // namespace zarvik::store
