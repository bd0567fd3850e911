#include "services/filemanager.h"

// Stub: filled in by the services work.
FileManager::FileManager(QObject* parent) : QObject(parent) {}
bool FileManager::writeList(const QVector<QPair<QString, QString>>&) { return false; }
void FileManager::dealover() {}
