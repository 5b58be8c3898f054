#pragma once

#include <QString>

// Text from the command line or a file as a message shows it: in double quotes, with control
// and format characters escaped (an ESC byte must not drive the terminal, a bidi override must
// not reorder the line) and cut after a screenful (a 900 KB line is not echoed whole).
QString quotedInput(const QString &text);
