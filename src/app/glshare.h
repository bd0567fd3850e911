#pragma once

// The browser engine draws through one OpenGL context that all windows share.
// Left to itself, it creates that context while the application object is
// built, which holds back the first sight of the window by as long as the GL
// driver takes to load. Instead the context is reserved before the
// application object and made only once the engine is about to start.

// Call before the application object exists.
void reserveSharedGlContext();

// Call before the browser engine is first used. Does nothing when the context
// has been made already, by this or by the engine itself.
void createSharedGlContext();
