#pragma once

#include <QFile>
#include <QMap>
#include <QObject>
#include <QPair>
#include <QVector>

class DVThread;

// Collects the MD5 results of one group of hashing workers and announces when
// all of them have reported.
class FileManager : public QObject
{
    Q_OBJECT

public:
    explicit FileManager(QObject* parent = nullptr);

    // One line "name|digest" per record; false when listFile cannot be opened.
    bool writeList(const QVector<QPair<QString, QString>>& records);

    QVector<qint64> sizes;
    QVector<qint64> offsets;
    QMap<QString, QString> results;
    QVector<DVThread*> threads;
    int finishedCount = 0;
    QFile listFile;

signals:
    void over();

public slots:
    // Once per finished worker of threads.
    void dealover();
};
