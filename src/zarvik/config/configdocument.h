// The configuration file as the loader reads it and the writer edits it: its text,
// and where each element the program reads stands in that text.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <array>
#include <memory>

#include "zarvik/config/indexconfiguration.h"
#include "zarvik/config/indexelements.h"

namespace zarvik::config {

inline const QString kConfigurationSource = QStringLiteral("ZarvikIndexing.IndexConfiguration");

// The rows of kTextElements the configuration reads or writes itself.
constexpr int kIndexPath = TextElementRow("IndexPath");
constexpr int kLastBuilt = TextElementRow("LastBuilt");
constexpr int kNumDocuments = TextElementRow("NumDocuments");

// One parsed configuration file. Positions are indexes into text.
struct XmlIndexConfiguration::Document {
    // Where an element lies in the text: [elementBegin, elementEnd) is all of it,
    // [contentBegin, contentEnd) the text between its tags.
    struct Span {
        bool present = false;
        bool selfClosed = false;
        qsizetype elementBegin = 0;
        qsizetype contentBegin = 0;
        qsizetype contentEnd = 0;
        qsizetype elementEnd = 0;
    };
    struct Index {
        QString name;
        QString display;
        std::array<QString, kTextElementCount> values;
        std::array<Span, kTextElementCount> spans;
        component::DataSourceList dataSources;
        QStringList targets;
        component::VerifySettings verify;
        // Why LoadIndex refuses this index: a <Verify> value that cannot be read.
        QString verifyError;
        qsizetype startTagEnd = 0;
        bool selfClosed = false;
        qsizetype endTagBegin = 0;
        qsizetype lastChildBegin = -1;
        qsizetype lastChildEnd = -1;
    };

    QString path;    // absolute
    QString folder;  // the folder relative paths are taken against
    QByteArray bom;  // a UTF-8 byte order mark the file starts with, kept on saving
    QString text;    // the rest of the file, decoded
    QList<Index> indexes;
    QString metricsDirectory;  // absolute; empty when the file names none
    // What loading the file would tell the administrator: elements nobody reads, an
    // index that cannot be built.
    QStringList warnings;
};

using Document = XmlIndexConfiguration::Document;

}  // namespace zarvik::config
