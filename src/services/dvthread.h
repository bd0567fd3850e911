#pragma once

#include <QMap>
#include <QString>
#include <QThread>

// Computes the MD5 digests of a set of files on its own thread.
class DVThread : public QThread
{
    Q_OBJECT

public:
    explicit DVThread(QObject* parent = nullptr);

    // Paths to verify (the values are unused).
    QMap<QString, QString> files;
    // Path relative to the working directory -> lower-case hex MD5. Read it
    // only once the thread has stopped running.
    QMap<QString, QString> results;

signals:
    void over(DVThread* thread);

protected:
    void run() override;
};
