#pragma once

// Whole-file and digest helpers that the suites share.
#include <QByteArray>
#include <QString>

// The file's bytes; empty when it cannot be read.
QByteArray readAll(const QString& path);

// Replaces the file's content, making its folder first; false on any failure.
bool writeAll(const QString& path, const QByteArray& bytes);

// The MD5 of bytes in lower-case hex, as file lists give it.
QString md5Hex(const QByteArray& bytes);
