// The command line's options of "stamp", kept apart from the batch's own.
#pragma once

#include "protocol/request.h"

#include <QCommandLineOption>
#include <QList>

class QCommandLineParser;

namespace batch {

class StampOptions
{
public:
    StampOptions();
    const QList<QCommandLineOption>& all() const { return m_options; }
    // The first of them given, for a message that it does not apply; "" for none.
    QString firstSet(const QCommandLineParser& parser) const;
    // Sets the request's stamp members; the usage message, or "" when all is well.
    QString read(const QCommandLineParser& parser, JobRequest& request) const;

private:
    QList<QCommandLineOption> m_options;
};

// Each file's first Bates number: `start` continued over the pages of the
// files before it in list order. A file that cannot be read counts no pages.
QList<qint64> batesStarts(const QStringList& inputs, const QString& password, qint64 start);

} // namespace batch
