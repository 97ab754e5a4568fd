#pragma once

#include <QString>

namespace batch {

// The family of a Chinese font registered with Qt from its file, "" when
// none was found. Qt's PDF writer embeds only fonts it has the file of, and a
// worker on Windows draws offscreen, where Qt knows no system font at all:
// there it is YaHei (or SimHei, SimSun). QPB_FONT_FILE names a file to take
// first, where the system's are missing (Wine has no YaHei).
QString registeredChineseFamily();

} // namespace batch
