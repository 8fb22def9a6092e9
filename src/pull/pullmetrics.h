// The figures of one pull, as a file in the Prometheus text format (what
// node_exporter's textfile collector reads), labelled with the reader's folder.
#pragma once

#include <QByteArray>
#include <QString>

namespace pull {

struct PullFigures {
    QString folder;
    qint64 runTime = 0;  // seconds since the epoch
    bool success = false;
    qint64 version = 0;  // the version the folder holds, whether the pull succeeded or not
    qint64 bytesFetched = 0;
    double seconds = 0;
};

QByteArray MetricsText(const PullFigures& figures);

}  // namespace pull
