#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

// Whole-file helpers for fixtures and results. A missing file reads as "(missing)", so it never
// compares equal to an expected image or to an empty file.
inline bool writeTestFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

inline QByteArray readTestFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
}
