// The program's icons, as the build bundled them: SVGs drawn at run time, or
// (where no SVG module is built, on Windows) PNGs drawn at build time.
#pragma once

#include <QIcon>
#include <QString>

namespace batch {

// `name` is an icon's file name in resources/icons without ".svg".
QIcon batchIcon(const QString& name);

} // namespace batch
