// The event log of a test: the JSON-lines file ZARVIK_EVENT_LOG names.
#pragma once

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QString>

namespace testsupport {

// The file's entries, one JSON object a line; none when it does not exist.
inline QList<QJsonObject> EventLog(const QString& path) {
    QFile file(path);
    QList<QJsonObject> entries;
    if (!file.open(QIODevice::ReadOnly)) return entries;
    for (const QByteArray& line : file.readAll().split('\n'))
        if (!line.trimmed().isEmpty()) entries << QJsonDocument::fromJson(line).object();
    return entries;
}

}  // namespace testsupport
