#pragma once

// main of a widget suite whose downloads, logs and web profile go to a
// private home: HOME and the XDG folders point into a temporary folder,
// which is also the working folder.
//
//   int main(int argc, char** argv) { return runWithPrivateHome<TestNews>(argc, argv); }

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

template <typename Test> int runWithPrivateHome(int argc, char** argv)
{
    QTemporaryDir home;
    qputenv("HOME", QFile::encodeName(home.path()));
    for (const char* dir : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"})
        qputenv(dir, QFile::encodeName(home.filePath(dir)));
    QApplication app(argc, argv);
    QDir::setCurrent(home.path());
    Test test;
    return QTest::qExec(&test, argc, argv);
}
