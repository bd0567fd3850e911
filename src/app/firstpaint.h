#pragma once

#include <functional>

class QWidget;

// Runs call once, on the event loop, after window has been painted for the
// first time, so that slow set-up does not hold back the player's first sight
// of the window. A window that is not shown by the time the event loop gets
// to it gets the call at once: nothing is waiting for its pixels. A modal box
// that opens first gets the call before it shows.
void runAfterFirstPaint(QWidget* window, std::function<void()> call);
