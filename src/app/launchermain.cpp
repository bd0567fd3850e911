#include "app/program.h"
#include "app/channel.h"
#include "app/glshare.h"

#include <QApplication>
#include <QMessageBox>
#include <QScreen>
#include <QSharedMemory>

namespace
{
// A segment left behind by a launcher that was killed outlives it here (unlike
// on Windows). Attaching and detaching frees it when no live process holds it.
void clearStaleLock(const QString& key)
{
    QSharedMemory stale(key);
    if (stale.attach())
        stale.detach();
}
} // namespace

int launcherMain(int argc, char** argv)
{
    reserveSharedGlContext();
    QApplication app(argc, argv);

    static QSharedMemory singleInstanceLock;
    singleInstanceLock.setKey(channel::applicationKey());
    clearStaleLock(singleInstanceLock.key());
    if (!singleInstanceLock.create(1, QSharedMemory::ReadWrite)) {
        QMessageBox::warning(nullptr, QStringLiteral("警告"), QStringLiteral("程序已经在运行中！"),
                             QMessageBox::Ok, QMessageBox::NoButton);
        return 0;
    }

    MainWindow window;
    const QRect screen = QGuiApplication::screens().value(0)->geometry();
    window.move((screen.width() - window.width()) / 2, (screen.height() - window.height()) / 2);
    window.show();
    return app.exec();
}
