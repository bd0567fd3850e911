#pragma once

#include <QFile>
#include <QMap>
#include <QObject>
#include <QVector>

class DVThread;

// Collects the MD5 results of a group of hashing workers.
class FileManager : public QObject
{
    Q_OBJECT

public:
    explicit FileManager(QObject* parent = nullptr);

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
    void dealover();
};
