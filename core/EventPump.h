#pragma once

#include <functional>

/**
 * "Let pending window events run": long work calls it at fixed points so the windows repaint, buttons stay live and
 * the schedule keeps ticking. The windows pass QCoreApplication::processEvents; tests pass a counter.
 */
using EventPump = std::function<void()>;

/** Processes pending events of the running application (QCoreApplication::processEvents). */
void processApplicationEvents();
