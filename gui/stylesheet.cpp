#include "gui/batchwindow.h"

#include <QFile>

using namespace Qt::StringLiterals;

namespace batch {

QString applicationStyleSheet()
{
    QFile file(u":/batch/style.qss"_s);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}

} // namespace batch
