#pragma once

#include <QStringList>

// Records every Qt warning and critical message (still printed as usual) so a test can fail
// on ones it did not expect, e.g. "connectSlotsByName: No matching signal".
namespace StrictMessages {
void install();
QStringList take();
} // namespace StrictMessages
