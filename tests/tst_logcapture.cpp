#include "app/logcapture.h"

#include <QtTest>

class TestLogCapture : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void lineFormat_data();
    void lineFormat();
    void appendsToExistingFile();
    void recreatedWhenDeleted();
    void linesOfTwoThreadsNeverMix();

private:
    QStringList lines() const;
    QTemporaryDir dir;
    QString oldCwd;
};

void TestLogCapture::init()
{
    QVERIFY(dir.isValid());
    oldCwd = QDir::currentPath();
    QDir::setCurrent(dir.path());
    QFile::remove("log.txt");
    installLogCapture();
}

void TestLogCapture::cleanup()
{
    qInstallMessageHandler(nullptr);
    QDir::setCurrent(oldCwd);
}

QStringList TestLogCapture::lines() const
{
    QFile f(dir.filePath("log.txt"));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QString text = QString::fromLocal8Bit(f.readAll());
    if (text.endsWith('\n'))
        text.chop(1);
    return text.split('\n');
}

void TestLogCapture::lineFormat_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("written");
    QTest::newRow("debug") << int(QtDebugMsg) << "abc"
                           << "abc";
    QTest::newRow("warning") << int(QtWarningMsg) << "x"
                             << "Warning: x";
    QTest::newRow("critical") << int(QtCriticalMsg) << "disk"
                              << "Critical: disk";
    // Info messages keep only the time stamp.
    QTest::newRow("info") << int(QtInfoMsg) << "ignored" << QString();
    QTest::newRow("chinese") << int(QtDebugMsg) << "检测更新:本地版本号:0"
                             << "检测更新:本地版本号:0";
}

void TestLogCapture::lineFormat()
{
    QFETCH(int, kind);
    QFETCH(QString, message);
    QFETCH(QString, written);
    const QDateTime before = QDateTime::currentDateTime();
    logMessageHandler(QtMsgType(kind), QMessageLogContext(), message);
    const QStringList l = lines();
    QCOMPARE(l.size(), 1);
    const QRegularExpression re("^(\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d): (.*)$");
    const QRegularExpressionMatch m = re.match(l.first());
    QVERIFY2(m.hasMatch(), qPrintable(l.first()));
    const QDateTime stamp = QDateTime::fromString(m.captured(1), "yyyy-MM-dd hh:mm:ss");
    QVERIFY(qAbs(stamp.secsTo(before)) <= 2);
    QCOMPARE(m.captured(2), written);
    // No carriage return, one line feed per message.
    QFile f(dir.filePath("log.txt"));
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray raw = f.readAll();
    QVERIFY(!raw.contains('\r'));
    QCOMPARE(raw.count('\n'), 1);
}

void TestLogCapture::appendsToExistingFile()
{
    {
        QFile f(dir.filePath("log.txt"));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("2020-01-01 00:00:00: an earlier run\n");
    }
    qDebug() << "second run";
    const QStringList l = lines();
    QCOMPARE(l.size(), 2);
    QCOMPARE(l.at(0), QString("2020-01-01 00:00:00: an earlier run"));
    QVERIFY(l.at(1).endsWith(": second run"));
}

void TestLogCapture::recreatedWhenDeleted()
{
    qDebug() << "one";
    QVERIFY(QFile::remove(dir.filePath("log.txt")));
    qDebug() << "two";
    const QStringList l = lines();
    QCOMPARE(l.size(), 1);
    QVERIFY(l.first().endsWith(": two"));
}

void TestLogCapture::linesOfTwoThreadsNeverMix()
{
    const int perThread = 300;
    auto writer = [](char tag) {
        const QString payload(200, QLatin1Char(tag));
        for (int i = 0; i < perThread; ++i)
            qDebug().noquote() << payload;
    };
    QScopedPointer<QThread> a(QThread::create(writer, 'a'));
    QScopedPointer<QThread> b(QThread::create(writer, 'b'));
    a->start();
    b->start();
    QVERIFY(a->wait(30000));
    QVERIFY(b->wait(30000));
    const QStringList l = lines();
    QCOMPARE(l.size(), 2 * perThread);
    const QRegularExpression re("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d: (a{200}|b{200})$");
    for (const QString& line : l)
        QVERIFY2(re.match(line).hasMatch(), qPrintable(line.left(80)));
}

QTEST_GUILESS_MAIN(TestLogCapture)
#include "tst_logcapture.moc"
