#include "services/filemanager.h"

#include "services/dvthread.h"

#include <QDebug>

FileManager::FileManager(QObject* parent) : QObject(parent) {}

bool FileManager::writeList(const QVector<QPair<QString, QString>>& records)
{
    if (!listFile.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    QString text;
    for (const auto& record : records)
        text += record.first + QLatin1Char('|') + record.second + QLatin1Char('\n');
    const QByteArray bytes = text.toUtf8();
    // A list cut short by a full disk is no list: say so.
    const bool written = listFile.write(bytes) == bytes.size() && listFile.flush();
    listFile.close();
    return written;
}

void FileManager::dealover()
{
    ++finishedCount;
    if (threads.size() != finishedCount)
        return;
    results.clear();
    for (DVThread* thread : qAsConst(threads)) {
        // The last worker may still be leaving run() after announcing itself.
        thread->wait();
        for (auto it = thread->results.constBegin(); it != thread->results.constEnd(); ++it) {
            results.insert(it.key(), it.value());
            qDebug() << "===========" << it.key() << "   " << it.value();
        }
    }
    emit over();
}
