#include "app/glshare.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QOpenGLContext>

// Qt's own hooks for the shared context, the ones the browser engine uses; the
// engine skips its own set-up when one is installed.
QT_BEGIN_NAMESPACE
Q_GUI_EXPORT void qt_gl_set_global_share_context(QOpenGLContext* context);
Q_GUI_EXPORT QOpenGLContext* qt_gl_global_share_context();
QT_END_NAMESPACE

void reserveSharedGlContext()
{
    if (QCoreApplication::instance() || qt_gl_global_share_context())
        return;
    // Lives as long as the process, as the engine's own would.
    qt_gl_set_global_share_context(new QOpenGLContext);
    // What the engine sets once it has its context: other GL users share it.
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
}

void createSharedGlContext()
{
    QOpenGLContext* shared = qt_gl_global_share_context();
    if (!shared || shared->isValid())
        return;
    shared->setScreen(QGuiApplication::primaryScreen());
    shared->create();
}
