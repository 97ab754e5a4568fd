#include "ocr/export/fontfiles.h"

#include <QFileInfo>
#include <QFontDatabase>
#include <QStringList>

using namespace Qt::StringLiterals;

namespace batch {

QString registeredChineseFamily()
{
    static const QString family = [] {
        QStringList files;
        if (qEnvironmentVariableIsSet("QPB_FONT_FILE"))
            files << qEnvironmentVariable("QPB_FONT_FILE");
#ifdef Q_OS_WIN
        const QString fonts = qEnvironmentVariable("WINDIR", u"C:/Windows"_s) + u"/Fonts/"_s;
        files << fonts + u"msyh.ttc"_s << fonts + u"simhei.ttf"_s << fonts + u"simsun.ttc"_s;
#endif
        for (const QString& file : std::as_const(files)) {
            const int id = QFileInfo(file).isFile() ? QFontDatabase::addApplicationFont(file) : -1;
            const QStringList families =
                id >= 0 ? QFontDatabase::applicationFontFamilies(id) : QStringList();
            if (!families.isEmpty())
                return families.first();
        }
        return QString();
    }();
    return family;
}

} // namespace batch
