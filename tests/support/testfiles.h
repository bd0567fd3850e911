#pragma once

// Whole-file and digest helpers that the suites share.
#include <QByteArray>
#include <QJsonObject>
#include <QString>

// The file's bytes; empty when it cannot be read.
QByteArray readAll(const QString& path);

// Replaces the file's content, making its folder first; false on any failure.
bool writeAll(const QString& path, const QByteArray& bytes);

// The MD5 of bytes in lower-case hex, as file lists give it.
QString md5Hex(const QByteArray& bytes);
QByteArray md5Bytes(const QByteArray& bytes);

// The file's JSON object; empty when it cannot be read or is no object.
QJsonObject readJson(const QString& path);

// Deterministic bytes without a short period, different for each seed.
QByteArray bytePattern(int size, int seed = 0);

// Makes, with openssl, in dir: a certificate authority (ca.pem), a server
// certificate for 127.0.0.1 that it signed (server.pem, server.key, EC keys)
// and a self-signed one for the same address that nobody trusts
// (stranger.pem, stranger.key). False when openssl failed.
bool makeTestCertificates(const QString& dir);
