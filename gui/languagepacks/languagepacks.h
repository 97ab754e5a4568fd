// The OCR language packs: where they live and the dialog that installs them.
#pragma once

#include "runner/sources.h"

#include <QString>

class QWidget;

namespace batch {

// Runs the language-pack dialog modally for the models folder now in use;
// the default models folder when the user chose to use the installed packs
// (it then holds every model of the folder in use as well), else "".
QString chooseLanguagePacks(QWidget* parent, const QString& folderInUse = QString());

// Copies each model (*.traineddata) of `from` that `to` lacks, each appearing
// only once complete, so that switching folders never loses a language.
bool takeOverModels(const QString& from, const QString& to, QString& error);

} // namespace batch
