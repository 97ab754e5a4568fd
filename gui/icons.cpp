#include "gui/icons.h"

#include <QFile>

using namespace Qt::StringLiterals;

namespace batch {

QIcon batchIcon(const QString& name)
{
#ifdef QPB_PNG_ICONS
    QIcon icon;
    for (int size : {16, 20, 24, 32, 40, 48, 64, 128, 256}) {
        const QString file = u":/batch/png/%1-%2.png"_s.arg(name).arg(size);
        if (QFile::exists(file))
            icon.addFile(file, QSize(size, size));
    }
    return icon;
#else
    return QIcon(u":/batch/"_s + name + u".svg"_s);
#endif
}

} // namespace batch
