// Starting the program when the user logs in, as each desktop does it: a
// shortcut in the user's Startup folder on Windows, an autostart desktop
// entry (XDG) elsewhere. One implementation per system, chosen by the build.
#pragma once

#include <QString>

namespace batch {

// True when the program is set to start at login.
bool startsAtLogin();
// Sets or removes the start at login of `program`. Empty on success, else
// the user-facing reason.
QString setStartAtLogin(bool on, const QString& program);

} // namespace batch
