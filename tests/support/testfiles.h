#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QStringList>
#include <functional>
#include <pwd.h>
#include <unistd.h>

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

// Runs `action` with the file permissions of the user "nobody" when the tests run as root (as
// CI does), where a read-only folder would not stop a write; `owned` become nobody's first.
inline bool asUnprivileged(const QStringList &owned, const std::function<void()> &action)
{
    const passwd *user = geteuid() == 0 ? getpwnam("nobody") : nullptr;
    for (const QString &path : owned) {
        if (user && chown(QFile::encodeName(path).constData(), user->pw_uid, user->pw_gid) != 0)
            return false;
    }
    if (user && (setegid(user->pw_gid) != 0 || seteuid(user->pw_uid) != 0))
        return false;
    action();
    return !user || (seteuid(0) == 0 && setegid(0) == 0);
}
