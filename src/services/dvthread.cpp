#include "services/dvthread.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>

DVThread::DVThread(QObject* parent) : QThread(parent) {}

void DVThread::run()
{
    const QDir workingDir = QDir::current();
    for (auto it = files.constBegin(); it != files.constEnd(); ++it) {
        QFile file(it.key());
        if (!file.open(QIODevice::ReadOnly))
            continue;
        QCryptographicHash md5(QCryptographicHash::Md5);
        bool complete = true;
        while (!file.atEnd()) {
            if (isInterruptionRequested()) {
                emit over(this);
                return;
            }
            const QByteArray block = file.read(10240);
            if (block.isEmpty()) {
                complete = false; // read error: no digest rather than a wrong one
                break;
            }
            md5.addData(block);
        }
        if (complete)
            results.insert(workingDir.relativeFilePath(it.key()),
                           QString::fromLatin1(md5.result().toHex()));
    }
    emit over(this);
}
