#include "gui/languagepacks/languagepacks.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QLabel>
#include <QStandardPaths>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;

namespace batch {

QString defaultModelsFolder()
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation))
        .filePath(u"tessdata"_s);
}

QString chooseLanguagePacks(QWidget* parent)
{
    QDialog dialog(parent);
    dialog.setWindowTitle(u"Quorvin PDF · OCR 语言包"_s);
    auto* layout = new QVBoxLayout(&dialog);
    auto* location = new QLabel(u"安装位置："_s + defaultModelsFolder());
    location->setTextFormat(Qt::PlainText);
    location->setWordWrap(true);
    layout->addWidget(location);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    layout->addWidget(buttons);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    return dialog.exec() == QDialog::Accepted ? defaultModelsFolder() : QString();
}

} // namespace batch
