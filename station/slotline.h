#pragma once

#include <QString>

// A slot's line on the operator's terminal, at most `width` characters: the slot, "board N",
// the state and its instruction ("PASS", "FAIL", "(remove board)") are what the operator acts
// on, so a narrow terminal loses the detail first ("FAIL: Application is wrong! (...)"), then
// the slot's address from the left, and only at last the end of the line.
QString slotLine(const QString &label, const QString &state, int width);
