#pragma once

#include <functional>

class QObject;

// SIGWINCH, delivered in the event loop through a pipe of its own: the terminal's width
// changed, and lines drawn for the old width would wrap or leave room unused.
namespace TerminalResize {

// Calls `handler` in the event loop after each SIGWINCH, for as long as `context` lives.
// False when the pipe cannot be had; the caller then keeps the width it read last.
bool onResize(QObject *context, const std::function<void()> &handler);

} // namespace TerminalResize
