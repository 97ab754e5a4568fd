// The OCR language packs: where they live and the dialog that installs them.
#pragma once

#include <QString>

class QWidget;

namespace batch {

// The application's local data folder joined with "tessdata"; not created here.
QString defaultModelsFolder();

// Runs the language-pack dialog modally; the default models folder when the
// user chose to use the installed packs, else "".
QString chooseLanguagePacks(QWidget* parent);

} // namespace batch
